#include "serve/upstream.h"

#include <algorithm>
#include <array>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <exception>
#include <utility>

#include "common/coding.h"
#include "common/protocol.h"

namespace zelm::serve {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace protocol = velkaro::protocol;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// A failed operation in the words the other zelm commands use, with its kind.
Failure FailureOf(const beast::error_code& ec, std::chrono::milliseconds limit) {
  if (ec == beast::error::timeout) return TimedOut(limit);
  if (ec == asio::error::eof || ec == asio::error::connection_reset ||
      ec == asio::error::broken_pipe || ec == asio::error::connection_aborted) {
    return Closed();
  }
  if (ec == asio::error::connection_refused) return {ErrorKind::kRefused, ec.message()};
  if (ec == asio::error::operation_aborted) return {ErrorKind::kInterrupted, ec.message()};
  return {ErrorKind::kOther, ec.message()};
}

// The whole request of a command that sends only its tag.
asio::const_buffer TagBuffer(Command command) {
  const std::string_view tag = CommandTag(command);
  return asio::buffer(tag.data(), tag.size());
}

}  // namespace

Upstream::Upstream(asio::io_context& io, UpstreamOptions options,
                   std::function<void(const Frame&)> on_frame,
                   std::function<void(const UpstreamState&)> on_state)
    : io_(io),
      options_(std::move(options)),
      on_frame_(std::move(on_frame)),
      on_state_(std::move(on_state)),
      pause_(io) {}

Upstream::~Upstream() {
  Stop();
}

void Upstream::Start() {
  asio::co_spawn(io_, Run(), [](const std::exception_ptr&) {});
}

void Upstream::Stop() {
  if (stopped_) return;
  stopped_ = true;
  if (stream_ != nullptr) stream_->cancel();
  pause_.cancel();
  FailPending("the gateway is stopping");
}

bool Upstream::Submit(const McpRequestBuilder& block, McpDone done) {
  std::lock_guard lock(mutex_);
  if (!state_.connected || pending_.size() >= kMaxPendingCommands) return false;
  pending_.push_back(Command{block, std::move(done)});
  return true;
}

UpstreamState Upstream::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::string Upstream::AddonStatus() const {
  std::lock_guard lock(mutex_);
  return addon_status_;
}

void Upstream::SetConnected(bool connected, const Failure& failure) {
  UpstreamState copy;
  {
    std::lock_guard lock(mutex_);
    if (state_.connected == connected && state_.error == failure.text &&
        state_.error_kind == failure.kind) {
      return;
    }
    if (connected && !state_.connected && state_.frames > 0) ++state_.reconnects;
    state_.connected = connected;
    state_.error = failure.text;
    state_.error_kind = failure.kind;
    if (!connected) addon_status_.clear();
    copy = state_;
  }
  on_state_(copy);
}

void Upstream::FailPending(const std::string& error) {
  std::deque<Command> failed;
  {
    std::lock_guard lock(mutex_);
    failed.swap(pending_);
  }
  for (Command& c : failed) c.done(error);
}

asio::awaitable<void> Upstream::Run() {
  // The pause before the next attempt grows while attempts fail, and also while connections end
  // before their first frame (an add-on that refuses this address, or has no place, accepts and
  // closes at once): the gateway must not hammer the simulator's process with connections.
  auto retry = options_.first_retry;
  while (!stopped_) {
    beast::tcp_stream stream(io_);
    stream_ = &stream;
    Failure failure;
    if (co_await Connect(stream, &failure)) {
      const std::uint64_t frames_before = State().frames;
      try {
        failure = co_await Serve(stream);
      } catch (const std::exception& e) {  // (out of memory, nothing else is thrown)
        failure = {ErrorKind::kOther, e.what()};
      }
      stream_ = nullptr;
      if (stopped_) break;
      FailPending("the connection to the add-on was lost");
      if (failure.kind == ErrorKind::kNone) {
        failure = {ErrorKind::kClosed, "the connection to the add-on was lost"};
      }
      if (State().frames > frames_before) retry = options_.first_retry;
    } else {
      stream_ = nullptr;
      if (stopped_) break;
      status_unanswered_ = false;  // the add-on that comes back may be another
    }
    SetConnected(false, failure);
    pause_.expires_after(retry);
    beast::error_code ignored;
    co_await pause_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    retry = std::min(retry * 2, options_.longest_retry);
  }
}

asio::awaitable<bool> Upstream::Connect(beast::tcp_stream& stream, Failure* failure) {
  const std::string where = options_.host + ":" + std::to_string(options_.port);
  beast::error_code ec;
  tcp::resolver resolver(io_);
  const auto addresses =
      co_await resolver.async_resolve(tcp::v4(), options_.host, std::to_string(options_.port),
                                      asio::redirect_error(asio::use_awaitable, ec));
  const bool resolved = !ec;
  if (resolved && !stopped_) {
    stream.expires_after(options_.timeout);
    co_await stream.async_connect(addresses, asio::redirect_error(asio::use_awaitable, ec));
  }
  if (stopped_) co_return false;
  if (ec) {
    const Failure why = FailureOf(ec, options_.timeout);
    *failure = {resolved ? why.kind : ErrorKind::kNameNotResolved,
                "cannot connect to " + where + ": " + why.text};
    co_return false;
  }
  stream.socket().set_option(tcp::no_delay(true), ec);
  co_return true;
}

asio::awaitable<bool> Upstream::Exchange(beast::tcp_stream& stream, asio::const_buffer request,
                                         ReplyReader* reader, std::chrono::milliseconds limit,
                                         Failure* failure) {
  beast::error_code ec;
  stream.expires_after(limit);
  if (request.size() > 0) {
    co_await asio::async_write(stream, request, asio::redirect_error(asio::use_awaitable, ec));
  }
  while (!ec && !reader->complete()) {
    if (reader->started()) stream.expires_after(limit);
    const std::span<std::uint8_t> needed = reader->Needed();
    co_await asio::async_read(stream, asio::buffer(needed.data(), needed.size()),
                              asio::redirect_error(asio::use_awaitable, ec));
    if (!ec && !reader->Filled()) {
      *failure = reader->failure();
      co_return false;
    }
  }
  if (ec) {
    *failure = FailureOf(ec, limit);
    co_return false;
  }
  co_return true;
}

asio::awaitable<Failure> Upstream::Serve(beast::tcp_stream& stream) {
  // Connected from its first frame on: an add-on that is stopping may still take a connection
  // it will never serve, and the browsers are not told of it.
  auto status_due = Clock::now();
  Frame frame;
  Frame last;
  bool have_last = false;
  Failure failure;
  const auto failed = [&] { return failure.kind != ErrorKind::kNone; };
  while (!stopped_) {
    std::deque<Command> commands;
    {
      std::lock_guard lock(mutex_);
      commands.swap(pending_);
    }
    for (Command& c : commands) {
      // The add-on does not acknowledge a block; a round trip after it proves it was read.
      const McpUploadMessage upload = McpUpload(c.block.block());
      ReplyReader none(zelm::Command::kMcpStore);
      ReplyReader head(zelm::Command::kFmcHead);
      if (!failed() &&
          co_await Exchange(stream, asio::buffer(upload), &none, options_.timeout, &failure) &&
          co_await Exchange(stream, TagBuffer(zelm::Command::kFmcHead), &head, options_.timeout,
                            &failure)) {
        c.done("");
      } else {
        c.done("the add-on did not take the block: " + failure.text);
      }
    }
    if (failed() || stopped_) break;

    // Asked once the add-on has answered a frame: an add-on that then leaves it unanswered is
    // one from before 1.1, and is said to be.
    if (have_last && !status_unanswered_ && Clock::now() >= status_due) {
      status_due = Clock::now() + options_.status_every;
      ReplyReader status(zelm::Command::kStatus);
      const bool ok = co_await Exchange(stream, TagBuffer(zelm::Command::kStatus), &status,
                                        options_.status_wait, &failure);
      if (!ok && failure.kind == ErrorKind::kTimedOut && !status.started()) {
        // An add-on before 1.1 ignores the command. A reply that is only late would arrive
        // where a frame is awaited, so the connection is made afresh, and not asked again until
        // the add-on has gone and come back.
        status_unanswered_ = true;
        failure = NoStatusReply(failure, /*answered_before=*/true);
      }
      if (!ok) break;
      std::string text = status.text();
      std::lock_guard lock(mutex_);
      addon_status_ = std::move(text);
    }

    ReplyReader reply(zelm::Command::kFrame);
    if (!co_await Exchange(stream, TagBuffer(zelm::Command::kFrame), &reply, options_.timeout,
                           &failure)) {
      break;
    }
    frame.bytes = reply.frame();
    if (!have_last) SetConnected(true, {});
    if (have_last && frame.bytes == last.bytes) continue;
    last = frame;
    have_last = true;
    {
      std::lock_guard lock(mutex_);
      ++state_.frames;
      state_.last_frame = Clock::now();
    }
    on_frame_(frame);
  }
  if (stopped_) failure = {};
  // Closed before its first frame: the add-on refused this connection.
  if (failure.kind == ErrorKind::kClosed && !have_last) failure = ClosedAtOnce();
  co_return failure;
}

}  // namespace zelm::serve
