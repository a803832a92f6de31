// A small real container for the dialogs' tests: a FAT image of 16 MiB
// converted by the build's engine into a salted container.
#pragma once

#include "client/client.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace tw::test {

// Writes the container `name` in `folder` (which must exist), locked with
// `password`. Returns 0, or a negative errno with the reason in *error.
inline int test_container_make(const std::string &folder, const std::string &name,
                               std::string_view password, std::string *error) {
    const std::string image = folder + "/.plain-" + name + ".img";
    const std::string make =
        "truncate -s 16M '" + image + "' && mkfs.vfat '" + image + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
        *error = "mkfs.vfat failed";
        return -EIO;
    }
    EngineRunContext ctx;
    ClientOutcome out;
    FileOperation convert;
    convert.command = "convert";
    convert.input = image;
    convert.output = folder + "/" + name;
    convert.new_password =
        std::span(reinterpret_cast<const uint8_t *>(password.data()), password.size());
    convert.confirmation = convert.new_password;
    const int rc = engine_file_operation(&ctx, convert, &out);
    std::error_code ignored;
    std::filesystem::remove(image, ignored);
    if (rc != 0) {
        *error = out.message;
        return rc < 0 ? rc : -EIO;
    }
    return 0;
}

} // namespace tw::test
