// Converting a filesystem image into a container, whole operation including
// the verification pass, next to `cp` + `sync` of the same image on the same
// disk; then exporting each container back to a plain image (the sequential
// read of its layout), next to the salted layout's export.
//
//   bench_convert_bench [FOLDER] [SIZE_MIB] [ROUNDS] [THREADS] [CASES]
//
// Every round measures cp + sync and each case once, in turn, so that a busy
// machine disturbs all of them alike; the medians over the rounds are
// printed last. THREADS is the chunk pool's size for v3 (0: one per online
// CPU, the default; 1: the single-thread path). CASES picks the layouts, any
// of "salted", "off" and "fast" separated by commas (default all three).
//
// The image is a FAT32 filesystem whose data area is filled with random
// bytes, so neither holes nor compression make the copy artificially cheap
// (LZ4 is measured on the same, incompressible data, i.e. its worst case).
#include "container/container.h"
#include "container/files/file_access.h"
#include "container/keys/system_key.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

unsigned g_threads = 0;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// User and system time of this process, all threads.
double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto s = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

bool run(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

constexpr char kPassword[] = "benchmark password";

tw::Container *open_unlocked(const std::string &path, bool plain) {
    tw::Container *c = nullptr;
    int rc = tw::container_open(path.c_str(), tw::kContainerOpenRead, &c);
    if (rc == 0)
        rc = plain ? tw::container_probe_plaintext(c)
                   : tw::container_unlock(c, reinterpret_cast<const uint8_t *>(kPassword),
                                          sizeof kPassword - 1, tw::kCipherUnset);
    if (rc == 0 && !plain)
        rc = tw::container_start_chunk_pool(c, g_threads);
    if (rc != 0) {
        std::fprintf(stderr, "cannot open %s: %d\n", path.c_str(), rc);
        std::exit(1);
    }
    return c;
}

double convert(const std::string &image, const std::string &output, uint32_t chunk, bool compress) {
    unlink(output.c_str());
    auto start = std::chrono::steady_clock::now();
    tw::Container *source = open_unlocked(image, true);
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

// Export of a container to a new plain image (the password derivation of the
// unlock is not counted: it is the same for every layout).
double export_image(const std::string &container, const std::string &output) {
    unlink(output.c_str());
    tw::Container *c = open_unlocked(container, false);
    auto start = std::chrono::steady_clock::now();
    int rc = tw::container_export(c, output.c_str(), nullptr, nullptr);
    double elapsed = seconds_since(start);
    tw::container_close(c);
    unlink(output.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "export failed: %d\n", rc);
        std::exit(1);
    }
    return elapsed;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty()      ? 0
           : v.size() % 2 ? v[v.size() / 2]
                          : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char **argv) {
    std::string folder = argc > 1 ? argv[1] : "/tmp";
    long mib = argc > 2 ? std::atol(argv[2]) : 2048;
    int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    g_threads = argc > 4 ? unsigned(std::atoi(argv[4])) : 0;
    std::string picked = ",";
    picked.append(argc > 5 ? argv[5] : "salted,off,fast").append(",");
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

    struct Case {
        const char *key;
        const char *name;
        uint32_t chunk;
        bool compress;
        std::vector<double> convert, convert_cpu, exported;
    };
    std::vector<Case> cases;
    for (const Case &c :
         {Case{"salted", "AES-XTS salted", 0, false, {}, {}, {}},
          Case{"off", "AES-XTS v3 16384, compression off", 16384, false, {}, {}, {}},
          Case{"fast", "AES-XTS v3 16384, compression fast", 16384, true, {}, {}, {}}})
        if (picked.find(std::string(",").append(c.key).append(",")) != std::string::npos)
            cases.push_back(c);
    if (cases.empty()) {
        std::fprintf(stderr, "no such case: %s\n", argv[5]);
        return 1;
    }
    std::vector<double> cp;
    for (int round = 0; round < rounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        run("cp '" + image + "' '" + dir + "/copy.img' && sync '" + dir + "/copy.img'");
        cp.push_back(seconds_since(start));
        run("rm -f '" + dir + "/copy.img'");
        std::printf("round %d: cp + sync %.2f s", round + 1, cp.back());
        for (Case &c : cases) {
            const std::string out = dir + "/out.zcx";
            const double cpu = cpu_seconds();
            c.convert.push_back(convert(image, out, c.chunk, c.compress));
            c.convert_cpu.push_back(cpu_seconds() - cpu);
            c.exported.push_back(export_image(out, dir + "/export.img"));
            unlink(out.c_str());
            std::printf(", %.2f / %.2f s", c.convert.back(), c.exported.back());
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    const double cp_median = median(cp);
    std::printf("medians of %d rounds, %ld MiB\n", rounds, mib);
    std::printf("%-36s %7.2f s  %7.1f MB/s\n", "cp + sync", cp_median, mb / cp_median);
    double salted_export = 0;
    for (const Case &c : cases)
        if (std::string(c.key) == "salted")
            salted_export = median(c.exported);
    for (const Case &c : cases) {
        const double t = median(c.convert), e = median(c.exported);
        std::printf("%-36s convert %6.2f s (CPU %5.2f s)  %.2f x cp   export %6.2f s  %7.1f MB/s",
                    c.name, t, median(c.convert_cpu), t / cp_median, e, mb / e);
        if (salted_export > 0)
            std::printf("  %.2f x salted", salted_export / e);
        std::printf("\n");
    }
    run("rm -rf '" + dir + "'");
    return 0;
}
