#include "support/customer_script.h"

#include <stdexcept>

#include "io_atome.h"
#include "service.h"

namespace testsupport {
namespace {

constexpr char kIdentifiedLine[] = "Customer:AmigaOS 4.1 / PPC7400\n";
const Bytes kCustomerIdentification = {0x1F, 0x2B, 0x41};
constexpr std::size_t kServiceIdentificationBytes = 6;

ServiceProcess start_service(const PtyPair& line, const std::string& directory,
                             std::optional<std::chrono::nanoseconds> tick) {
  const std::vector<std::string> args{line.slave_path(), "0"};
  return tick ? ServiceProcess::forked(args, *tick, directory) : ServiceProcess::binary(args, directory);
}

}  // namespace

CustomerScript::CustomerScript(const std::string& directory, std::optional<std::chrono::nanoseconds> tick)
    : service_(start_service(line_, directory, tick)) {
  if (!service_.wait_for_output("Service is ready\n")) throw std::runtime_error("the service did not start");
  line_.send(frame(kCustomerIdentification));
  const Bytes answer = line_.receive(1 + kServiceIdentificationBytes);
  if (answer.size() != 1 + kServiceIdentificationBytes || answer[0] != ACK) {
    throw std::runtime_error("the service did not identify itself: " + hex(answer));
  }
  line_.send({ACK});
  if (!service_.wait_for_output(kIdentifiedLine)) throw std::runtime_error("no customer line");
}

void CustomerScript::command(std::uint8_t code, const std::string& argument) {
  line_.send(command_frame(code, argument));
  const Bytes answer = line_.receive(1);
  if (answer != Bytes{ACK}) throw std::runtime_error("command not acknowledged: " + hex(answer));
}

Bytes CustomerScript::receive_and_answer(std::size_t count, std::uint8_t answer) {
  Bytes got = line_.receive(count);
  line_.send({answer});
  return got;
}

std::string CustomerScript::console_after(const std::string& text) {
  service_.wait_for_output(text);
  const std::string& all = service_.output();
  const auto identified = all.find(kIdentifiedLine);
  if (identified == std::string::npos) return all;
  return all.substr(identified + sizeof kIdentifiedLine - 1);
}

std::optional<int> CustomerScript::terminate() {
  command(cmd_terminate);
  return service_.wait_exit();
}

Bytes header_frame(const std::string& text) {
  Bytes payload(60, 0);
  for (std::size_t i = 0; i < text.size() && i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(text[i]);
  return frame(payload);
}

Bytes damaged(Bytes frame) {
  frame[frame.size() - 2] ^= 0x55;
  return frame;
}

Bytes frame_of(const Bytes& bytes, std::size_t offset, std::size_t length) {
  return frame(Bytes(bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(offset + length)));
}

}  // namespace testsupport
