// Converting a filesystem image into a container, whole operation including
// the verification pass, next to `cp` of the same image on the same disk.
//
//   bench_convert_bench [FOLDER] [SIZE_MIB]
//
// The image is a FAT32 filesystem whose data area is filled with random
// bytes, so neither holes nor compression make the copy artificially cheap
// (LZ4 is measured on the same, incompressible data, i.e. its worst case).
#include "container/container.h"
#include "container/files/file_access.h"
#include "container/keys/system_key.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool run(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

double convert(const std::string &image, const std::string &output, uint32_t chunk, bool compress) {
    unlink(output.c_str());
    auto start = std::chrono::steady_clock::now();
    tw::Container *source = nullptr;
    if (tw::container_open(image.c_str(), tw::kContainerOpenRead, &source) != 0 ||
        tw::container_probe_plaintext(source) != 0) {
        std::fprintf(stderr, "cannot open %s as an unencrypted image\n", image.c_str());
        std::exit(1);
    }
    static const char kPassword[] = "benchmark password";
    tw::ReencodeOptions options;
    options.password = reinterpret_cast<const uint8_t *>(kPassword);
    options.password_length = sizeof kPassword - 1;
    options.cipher = tw::kCipherAesXts;
    options.chunk_size = chunk;
    options.compress = compress;
    options.output_path = output.c_str();
    int rc = tw::container_reencode(source, options);
    tw::container_close(source);
    double elapsed = seconds_since(start);
    if (rc != 0) {
        std::fprintf(stderr, "conversion failed: %d\n", rc);
        std::exit(1);
    }
    return elapsed;
}

} // namespace

int main(int argc, char **argv) {
    std::string folder = argc > 1 ? argv[1] : "/tmp";
    long mib = argc > 2 ? std::atol(argv[2]) : 2048;
    std::string dir = folder + "/tw-convert-bench." + std::to_string(getpid());
    std::string image = dir + "/image.img";
    if (!run("mkdir -p '" + dir + "' && truncate -s " + std::to_string(mib) + "M '" + image +
             "' && mkfs.vfat -F 32 '" + image + "' >/dev/null && dd if=/dev/urandom of='" + image +
             "' bs=1M seek=64 count=" + std::to_string(mib - 64) +
             " conv=notrunc status=none && sync")) {
        std::fprintf(stderr, "cannot make the image\n");
        return 1;
    }
    tw::system_key_set_default();
    double mb = static_cast<double>(mib) * 1.048576;

    auto start = std::chrono::steady_clock::now();
    run("cp '" + image + "' '" + dir + "/copy.img' && sync '" + dir + "/copy.img'");
    double cp = seconds_since(start);
    std::printf("%-34s %7.2f s  %7.1f MB/s\n", "cp + sync", cp, mb / cp);

    struct Case {
        const char *name;
        uint32_t chunk;
        bool compress;
    } cases[] = {
        {"AES-XTS salted", 0, false},
        {"AES-XTS v3 16384, compression off", 16384, false},
        {"AES-XTS v3 16384, compression fast", 16384, true},
    };
    for (const Case &c : cases) {
        double t = convert(image, dir + "/out.zcx", c.chunk, c.compress);
        std::printf("%-34s %7.2f s  %7.1f MB/s  %.2f x cp\n", c.name, t, mb / t, t / cp);
    }
    run("rm -rf '" + dir + "'");
    return 0;
}
