// Containers made at test time from filesystem images of the real tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tw::test {

// Runs a shell command in `dir`; false when it fails.
bool shell_in(const std::string &dir, const std::string &command);

std::vector<uint8_t> read_bytes(const std::string &path);
void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes);

// Turns a plain image into a salted AES-256-XTS container under the built-in
// system key: sector 0 protected with SSE2, the other sectors encrypted with
// the data key of a new trailer for `password`, the trailer appended.
std::vector<uint8_t> make_salted_container(std::vector<uint8_t> image, const std::string &password);

} // namespace tw::test
