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

// A failed operation in the words the other zelm commands use.
std::string FailureText(const beast::error_code& ec, std::chrono::milliseconds limit) {
  if (ec == beast::error::timeout) return "timed out after " + SecondsText(limit);
  if (ec == asio::error::eof || ec == asio::error::connection_reset ||
      ec == asio::error::broken_pipe || ec == asio::error::connection_aborted) {
    return "the add-on closed the connection";
  }
  return ec.message();
}

asio::const_buffer TagBuffer(std::string_view tag) {
  return asio::buffer(tag.data(), protocol::kTagSize);
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

void Upstream::SetConnected(bool connected, const std::string& error) {
  UpstreamState copy;
  {
    std::lock_guard lock(mutex_);
    if (state_.connected == connected && state_.error == error) return;
    if (connected && !state_.connected && state_.frames > 0) ++state_.reconnects;
    state_.connected = connected;
    state_.error = error;
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
  auto retry = options_.first_retry;
  while (!stopped_) {
    beast::tcp_stream stream(io_);
    stream_ = &stream;
    std::string failure;
    if (co_await Connect(stream, &failure)) {
      retry = options_.first_retry;
      try {
        failure = co_await Serve(stream);
      } catch (const std::exception& e) {  // (out of memory, nothing else is thrown)
        failure = e.what();
      }
      stream_ = nullptr;
      if (stopped_) break;
      FailPending("the connection to the add-on was lost");
      SetConnected(false, failure.empty() ? "the connection to the add-on was lost" : failure);
      continue;
    }
    stream_ = nullptr;
    if (stopped_) break;
    status_unanswered_ = false;  // the add-on that comes back may be another
    SetConnected(false, failure);
    pause_.expires_after(retry);
    beast::error_code ignored;
    co_await pause_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    retry = std::min(retry * 2, options_.longest_retry);
  }
}

asio::awaitable<bool> Upstream::Connect(beast::tcp_stream& stream, std::string* failure) {
  const std::string where = options_.host + ":" + std::to_string(options_.port);
  beast::error_code ec;
  tcp::resolver resolver(io_);
  const auto addresses =
      co_await resolver.async_resolve(tcp::v4(), options_.host, std::to_string(options_.port),
                                      asio::redirect_error(asio::use_awaitable, ec));
  if (!ec && !stopped_) {
    stream.expires_after(options_.timeout);
    co_await stream.async_connect(addresses, asio::redirect_error(asio::use_awaitable, ec));
  }
  if (stopped_) co_return false;
  if (ec) {
    *failure = "cannot connect to " + where + ": " + FailureText(ec, options_.timeout);
    co_return false;
  }
  stream.socket().set_option(tcp::no_delay(true), ec);
  co_return true;
}

asio::awaitable<bool> Upstream::Exchange(beast::tcp_stream& stream, asio::const_buffer request,
                                         asio::mutable_buffer reply,
                                         std::chrono::milliseconds limit, std::string* failure) {
  beast::error_code ec;
  stream.expires_after(limit);
  co_await asio::async_write(stream, request, asio::redirect_error(asio::use_awaitable, ec));
  if (!ec && reply.size() > 0) {
    co_await asio::async_read(stream, reply, asio::redirect_error(asio::use_awaitable, ec));
  }
  if (ec) {
    *failure = FailureText(ec, limit);
    co_return false;
  }
  co_return true;
}

asio::awaitable<std::string> Upstream::Serve(beast::tcp_stream& stream) {
  // Connected from its first frame on: an add-on that is stopping may still take a connection
  // it will never serve, and the browsers are not told of it.
  auto status_due = Clock::now();
  Frame frame;
  Frame last;
  bool have_last = false;
  std::string failure;
  std::array<std::uint8_t, protocol::kFmcHeadBytes> head{};
  std::array<std::uint8_t, protocol::kWordBytes> word{};
  while (!stopped_) {
    std::deque<Command> commands;
    {
      std::lock_guard lock(mutex_);
      commands.swap(pending_);
    }
    for (Command& c : commands) {
      // The add-on does not acknowledge a block; a round trip after it proves it was read.
      const McpUploadMessage upload = McpUpload(c.block.block());
      if (failure.empty() &&
          co_await Exchange(stream, asio::buffer(upload), {}, options_.timeout, &failure) &&
          co_await Exchange(stream, TagBuffer(protocol::kTagFmcVersion), asio::buffer(head),
                            options_.timeout, &failure)) {
        c.done("");
      } else {
        c.done("the add-on did not take the block: " + failure);
      }
    }
    if (!failure.empty() || stopped_) break;

    if (!status_unanswered_ && Clock::now() >= status_due) {
      status_due = Clock::now() + options_.status_every;
      std::string status;
      bool ok = co_await Exchange(stream, TagBuffer(protocol::kTagStatus), asio::buffer(word),
                                  options_.status_wait, &failure);
      if (!ok && failure.rfind("timed out", 0) == 0) {
        // An add-on before 1.1 ignores the command. A reply that is only late would arrive
        // where a frame is awaited, so the connection is made afresh, and not asked again until
        // the add-on has gone and come back.
        status_unanswered_ = true;
        failure = "no status reply (" + failure + "); an add-on older than 1.1 does not answer it";
      }
      if (ok) ok = CheckStatusLength(velkaro::DecodeU32(word.data()), &failure);
      if (ok) {
        status.resize(velkaro::DecodeU32(word.data()));
        ok = co_await Exchange(stream, {}, asio::buffer(status), options_.status_wait, &failure);
      }
      if (!ok) break;
      std::lock_guard lock(mutex_);
      addon_status_ = std::move(status);
    }

    if (!co_await Exchange(stream, TagBuffer(protocol::kTagFrame), asio::buffer(frame.bytes),
                           options_.timeout, &failure) ||
        !CheckFrameReply(frame, &failure)) {
      break;
    }
    if (!have_last) SetConnected(true, "");
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
  if (stopped_) failure.clear();
  co_return failure;
}

}  // namespace zelm::serve
