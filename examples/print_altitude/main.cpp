// print_altitude [HOST [PORT]]: reads one frame from the Velkaro add-on and prints the aircraft's
// altitude and true heading with the units of the frame layout.
#include <zelm_client.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const std::string host = argc > 1 ? argv[1] : zelm::kDefaultHost;
  const auto port = static_cast<std::uint16_t>(argc > 2 ? std::atoi(argv[2]) : zelm::kDefaultPort);
  std::string error;
  auto connection = zelm::Connection::Open(host, port, &error, 5000);
  zelm::Frame frame;
  if (connection) connection->SetDeadline(std::chrono::seconds(5));
  if (!connection || !connection->FetchFrame(&frame)) {
    std::fprintf(stderr, "print_altitude: %s\n",
                 connection ? connection->error().c_str() : error.c_str());
    return 1;
  }
  std::printf("altitude %.0f %s, true heading %.1f %s\n", frame.Number("altitude").value_or(0.0),
              velkaro::FindFrameField("altitude")->unit, frame.Number("trueHeading").value_or(0.0),
              velkaro::FindFrameField("trueHeading")->unit);
  return 0;
}
