// Test helper: an independent initiator (libiscsi) that runs a list of
// block commands against one target and says how each went.
//
//   iscsi-io URL COMMAND...
//
// URL is libiscsi's "iscsi://user%secret@127.0.0.1:port/iqn/0". Commands:
//   unprotect                  lift the vendor write protection (0xC0 01)
//   write OFFSET FILE          write FILE at byte OFFSET (multiples of 512)
//   read OFFSET LENGTH FILE    read LENGTH bytes at OFFSET into FILE
//   pattern OFFSET LENGTH SEED write LENGTH bytes of a pattern made from SEED
//                              and each 4 KiB page's number, 1 MiB at a time
//   sync                       SYNCHRONIZE CACHE (10)
//   timed-write OFFSET LENGTH REQUEST
//                              sequential writes of REQUEST bytes, one at a
//                              time, then a sync; prints "write MiB/s N"
// Prints "ok" per command; stops at the first failure with
// "error KEY ASC ASCQ" (hexadecimal sense) and exit status 1. Exit status 2
// when the login fails.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
#include <string>
#include <time.h>
#include <vector>

// Under the leak checker of the sanitizer builds: libiscsi keeps a few small
// allocations of a failed command past iscsi_destroy_context; they are the
// library's, not this tool's.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libiscsi.so\n";
}

namespace {

constexpr size_t kStep = 1 << 20;
constexpr int kBlock = 512;

bool report(scsi_task *task, iscsi_context *iscsi) {
    if (task == nullptr) {
        std::printf("error transport %s\n", iscsi_get_error(iscsi));
        return false;
    }
    bool ok = task->status == SCSI_STATUS_GOOD;
    if (!ok)
        std::printf("error %x %x %x\n", unsigned(task->sense.key),
                    unsigned(task->sense.ascq >> 8) & 0xFF, unsigned(task->sense.ascq) & 0xFF);
    scsi_free_scsi_task(task);
    return ok;
}

bool write_bytes(iscsi_context *iscsi, uint64_t offset, std::vector<uint8_t> &data) {
    for (size_t done = 0; done < data.size(); done += kStep) {
        size_t n = std::min(kStep, data.size() - done);
        if (!report(iscsi_write16_sync(iscsi, 0, (offset + done) / kBlock, data.data() + done,
                                       uint32_t(n), kBlock, 0, 0, 0, 0, 0),
                    iscsi))
            return false;
    }
    return true;
}

void fill_pattern(uint8_t *out, size_t length, uint64_t offset, uint64_t seed) {
    for (size_t i = 0; i < length; i += 8) {
        uint64_t word = ((offset + i) / 4096) * 0x9E3779B97F4A7C15ull ^ seed ^ (offset + i);
        std::memcpy(out + i, &word, std::min<size_t>(8, length - i));
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: iscsi-io URL COMMAND...\n");
        return 64;
    }
    iscsi_context *iscsi = iscsi_create_context("iqn.2026-12.test.tarnwick:initiator");
    iscsi_url *url = iscsi ? iscsi_parse_full_url(iscsi, argv[1]) : nullptr;
    if (url == nullptr) {
        std::printf("error url\n");
        if (iscsi)
            iscsi_destroy_context(iscsi);
        return 2;
    }
    iscsi_set_session_type(iscsi, ISCSI_SESSION_NORMAL);
    iscsi_set_header_digest(iscsi, ISCSI_HEADER_DIGEST_NONE);
    iscsi_set_targetname(iscsi, url->target);
    if (url->user[0] != '\0')
        iscsi_set_initiator_username_pwd(iscsi, url->user, url->passwd);
    if (iscsi_full_connect_sync(iscsi, url->portal, url->lun) != 0) {
        std::printf("error login %s\n", iscsi_get_error(iscsi));
        iscsi_destroy_url(url);
        iscsi_destroy_context(iscsi);
        return 2;
    }
    std::fflush(stdout);
    int status = 0;
    for (int i = 2; i < argc && status == 0; ++i) {
        std::string command = argv[i];
        bool ok = false;
        if (command == "unprotect") {
            unsigned char cdb[6] = {0xC0, 1, 0, 0, 0, 0};
            scsi_task *task = scsi_create_task(6, cdb, SCSI_XFER_NONE, 0);
            ok = report(iscsi_scsi_command_sync(iscsi, url->lun, task, nullptr), iscsi);
        } else if (command == "sync") {
            ok = report(iscsi_synchronizecache10_sync(iscsi, url->lun, 0, 0, 0, 0), iscsi);
        } else if (command == "write" && i + 2 < argc) {
            uint64_t offset = std::strtoull(argv[++i], nullptr, 0);
            FILE *f = std::fopen(argv[++i], "rb");
            std::vector<uint8_t> data;
            if (f) {
                uint8_t buffer[65536];
                size_t got;
                while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                    data.insert(data.end(), buffer, buffer + got);
                std::fclose(f);
                ok = write_bytes(iscsi, offset, data);
            } else {
                std::printf("error file\n");
            }
        } else if (command == "read" && i + 3 < argc) {
            uint64_t offset = std::strtoull(argv[++i], nullptr, 0);
            uint64_t length = std::strtoull(argv[++i], nullptr, 0);
            FILE *f = std::fopen(argv[++i], "wb");
            ok = f != nullptr;
            for (uint64_t done = 0; ok && done < length; done += kStep) {
                uint32_t n = uint32_t(std::min<uint64_t>(kStep, length - done));
                scsi_task *task = iscsi_read16_sync(iscsi, url->lun, (offset + done) / kBlock, n,
                                                    kBlock, 0, 0, 0, 0, 0);
                if (task && task->status == SCSI_STATUS_GOOD)
                    ok = std::fwrite(task->datain.data, 1, size_t(task->datain.size), f) ==
                         size_t(task->datain.size);
                if (!report(task, iscsi))
                    ok = false;
            }
            if (f)
                std::fclose(f);
        } else if (command == "pattern" && i + 3 < argc) {
            uint64_t offset = std::strtoull(argv[++i], nullptr, 0);
            uint64_t length = std::strtoull(argv[++i], nullptr, 0);
            uint64_t seed = std::strtoull(argv[++i], nullptr, 0);
            std::vector<uint8_t> data(kStep);
            ok = true;
            for (uint64_t done = 0; ok && done < length; done += kStep) {
                size_t n = size_t(std::min<uint64_t>(kStep, length - done));
                fill_pattern(data.data(), n, offset + done, seed);
                ok = report(iscsi_write16_sync(iscsi, url->lun, (offset + done) / kBlock,
                                               data.data(), uint32_t(n), kBlock, 0, 0, 0, 0, 0),
                            iscsi);
                if (ok) {
                    std::printf("wrote %llu\n", static_cast<unsigned long long>(done + n));
                    std::fflush(stdout);
                }
            }
        } else if (command == "timed-write" && i + 3 < argc) {
            uint64_t offset = std::strtoull(argv[++i], nullptr, 0);
            uint64_t length = std::strtoull(argv[++i], nullptr, 0);
            size_t request = size_t(std::strtoull(argv[++i], nullptr, 0));
            std::vector<uint8_t> data(request);
            fill_pattern(data.data(), request, offset, 1);
            timespec start, end;
            clock_gettime(CLOCK_MONOTONIC, &start);
            ok = true;
            for (uint64_t done = 0; ok && done < length; done += request) {
                data[0] = uint8_t(done >> 17); // every request carries new data
                ok = report(iscsi_write16_sync(iscsi, url->lun, (offset + done) / kBlock,
                                               data.data(), uint32_t(request), kBlock, 0, 0, 0, 0,
                                               0),
                            iscsi);
            }
            if (ok)
                ok = report(iscsi_synchronizecache10_sync(iscsi, url->lun, 0, 0, 0, 0), iscsi);
            clock_gettime(CLOCK_MONOTONIC, &end);
            double seconds =
                double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
            if (ok)
                std::printf("write MiB/s %.1f\n", double(length) / 1048576.0 / seconds);
        } else {
            std::printf("error usage %s\n", command.c_str());
            status = 64;
            break;
        }
        if (ok)
            std::printf("ok\n");
        else
            status = 1;
        std::fflush(stdout);
    }
    iscsi_logout_sync(iscsi);
    iscsi_destroy_url(url);
    iscsi_destroy_context(iscsi);
    return status;
}
