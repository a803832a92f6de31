// MBR partition table: the table test, the primary entries and the chain of
// extended boot records.
#include "container/probe/probe_checks.h"

#include <algorithm>

namespace tw::probe {

bool mbr_table_valid(const unsigned char *s, uint64_t sector_count) {
    if (!has_boot_signature(s)) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        const unsigned char *e = s + 446 + 16 * i;
        if (all_zero(e, 16)) {
            continue;
        }
        uint64_t start = le32(e + 8);
        uint64_t length = le32(e + 12);
        if ((e[0] != 0x00 && e[0] != 0x80) || e[4] == 0 || start == 0 || length == 0 ||
            start + length > sector_count) {
            return false;
        }
    }
    return true;
}

namespace {

bool is_extended(unsigned type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

// Follows the extended boot records of the extended partition [start,
// start + length) and tests each logical partition. The number of records
// read is bounded per probe, so a looping or endless chain ends early.
bool walk_extended(ProbeRun &run, int number, uint64_t start, uint64_t length, std::string *line) {
    uint64_t n = run.sectors();
    uint64_t end = std::min(start + length, n);
    uint64_t record = start;
    while (run.ebr_links_left > 0 && record >= start && record < end) {
        --run.ebr_links_left;
        SectorBuffer ebr;
        if (!run.read_sector(record, ebr) || !has_boot_signature(ebr.bytes)) {
            return false;
        }
        const unsigned char *logical = ebr.bytes + 446;
        const unsigned char *next = ebr.bytes + 462;
        if (logical[4] != 0) {
            // The logical partition's start is relative to its own record.
            uint64_t logical_start = record + le32(logical + 8);
            uint64_t logical_length = le32(logical + 12);
            if (logical_start < n && (!run.strict() || logical_length <= n - logical_start)) {
                uint64_t region = run.strict() ? logical_length : n - logical_start;
                std::string found;
                if (filesystem_at_lba(run, logical_start, region, &found)) {
                    *line = format("MBR Partition %d (extended): Logical partition @ LBA %llu: %s",
                                   number, static_cast<unsigned long long>(logical_start),
                                   found.c_str());
                    return true;
                }
            }
        }
        // The link to the next record is relative to the extended partition.
        if (!is_extended(next[4])) {
            return false;
        }
        record = start + le32(next + 8);
    }
    return false;
}

} // namespace

MbrResult mbr_probe(ProbeRun &run, const unsigned char *sector0, std::string *line) {
    if (!has_boot_signature(sector0)) {
        return MbrResult::nothing;
    }
    uint64_t n = run.sectors();
    bool any_entry = false;
    for (int i = 0; i < 4; ++i) {
        const unsigned char *e = sector0 + 446 + 16 * i;
        unsigned type = e[4];
        if (type == 0) {
            continue;
        }
        any_entry = true;
        uint32_t start = le32(e + 8);
        uint64_t length = le32(e + 12);
        if (run.strict() && type == 0xEE && start == 1) {
            return gpt_probe(run, line) ? MbrResult::recognised : MbrResult::reject;
        }
        if (start >= n || (run.strict() && length > n - start)) {
            continue;
        }
        if (is_extended(type)) {
            if (walk_extended(run, i + 1, start, length, line)) {
                return MbrResult::recognised;
            }
            continue;
        }
        uint64_t region = run.strict() ? length : n - start;
        std::string found;
        if (filesystem_at_lba(run, start, region, &found)) {
            *line = format("MBR Partition %d @ LBA %u: %s", i + 1, start, found.c_str());
            return MbrResult::recognised;
        }
    }
    return run.strict() && any_entry ? MbrResult::reject : MbrResult::nothing;
}

} // namespace tw::probe
