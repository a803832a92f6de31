#include "engine/image_checks.h"

#include "container/container.h"
#include "runtime/cipher_id.h"

#include <cerrno>
#include <cstring>

namespace tw {

namespace {

bool bytes_at(const uint8_t *p, size_t offset, const char *text) {
    return std::memcmp(p + offset, text, std::strlen(text)) == 0;
}

bool has_boot_signature(const uint8_t *sector) {
    return sector[510] == 0x55 && sector[511] == 0xAA;
}

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t le64(const uint8_t *p) {
    return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

bool is_extended(uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

int read_at(const ImageReader &image, void *buffer, size_t length, uint64_t offset) {
    if (offset > image.size || image.size - offset < length)
        return -ERANGE;
    return image.read(image.context, buffer, length, offset);
}

// Dirty wins once seen; otherwise the larger of clean and journal replay.
DirtyState combine(DirtyState a, DirtyState b) {
    if (b == DirtyState::NotRecognised)
        b = DirtyState::Clean;
    return static_cast<int>(b) > static_cast<int>(a) ? b : a;
}

constexpr int kMaxExtendedRecords = 128;
constexpr uint32_t kMaxGptEntries = 1024;
constexpr uint32_t kMinGptEntrySize = 128;

// Walks an extended partition's chain of boot records, checking each
// logical partition. Returns false when the scan must stop (failure).
bool scan_extended(const ImageReader &image, uint64_t first_sector, DirtyState *state) {
    uint64_t record = first_sector;
    for (int visited = 0; visited < kMaxExtendedRecords; ++visited) {
        uint8_t ebr[512];
        if (read_at(image, ebr, sizeof ebr, record * 512) != 0 || !has_boot_signature(ebr)) {
            *state = DirtyState::IoFailure;
            return false;
        }
        const uint8_t *logical = ebr + 446;
        uint32_t start = le32(logical + 8);
        if (logical[4] != 0 && start != 0) {
            DirtyState s = dirty_state_at(image, (record + start) * 512);
            if (s == DirtyState::IoFailure) {
                *state = s;
                return false;
            }
            *state = combine(*state, s);
        }
        const uint8_t *next = ebr + 462;
        uint32_t next_start = le32(next + 8);
        if (!is_extended(next[4]) || next_start == 0)
            return true;
        record = first_sector + next_start;
    }
    return true;
}

bool scan_gpt(const ImageReader &image, DirtyState *state) {
    uint8_t header[92];
    if (read_at(image, header, sizeof header, 512) != 0) {
        *state = DirtyState::IoFailure;
        return false;
    }
    if (!bytes_at(header, 0, "EFI PART"))
        return true; // contributes nothing
    uint64_t entries_lba = le64(header + 72);
    uint32_t count = le32(header + 80);
    uint32_t entry_size = le32(header + 84);
    if (entry_size < kMinGptEntrySize || count > kMaxGptEntries) {
        *state = DirtyState::IoFailure;
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t entry[128];
        // Offsets are computed in 64 bits; a table placed beyond the image
        // fails its read instead of wrapping.
        if (entries_lba > UINT64_MAX / 512 ||
            read_at(image, entry, sizeof entry,
                    entries_lba * 512 + static_cast<uint64_t>(i) * entry_size) != 0) {
            *state = DirtyState::IoFailure;
            return false;
        }
        static const uint8_t kZeroGuid[16] = {};
        if (std::memcmp(entry, kZeroGuid, sizeof kZeroGuid) == 0)
            continue;
        uint64_t first_lba = le64(entry + 32);
        if (first_lba > UINT64_MAX / 512) {
            *state = combine(*state, DirtyState::NotRecognised);
            continue;
        }
        DirtyState s = dirty_state_at(image, first_lba * 512);
        if (s == DirtyState::IoFailure) {
            *state = s;
            return false;
        }
        *state = combine(*state, s);
    }
    return true;
}

} // namespace

WriteSupportInput write_support_input(const ContainerInfo &info) {
    WriteSupportInput in;
    in.format_kind = info.format_kind;
    in.cipher = info.cipher;
    in.v3_version = info.v3_version;
    in.v3_recovery_needed = info.v3_recovery_needed;
    in.header_locked = info.header_locked;
    in.cd_image = info.cd_image;
    in.sector0 = info.presented_sector0;
    return in;
}

const char *write_support_filesystem(const WriteSupportInput &in) {
    if (in.v3_version == 5)
        return nullptr;
    if (in.format_kind != 4 && in.format_kind != 5 && in.format_kind != 7)
        return nullptr;
    if (!cipher_is_offered(in.cipher) || in.header_locked || in.cd_image || in.v3_recovery_needed)
        return nullptr;
    const uint8_t *s = in.sector0;
    if (s == nullptr || !has_boot_signature(s))
        return nullptr;
    if (bytes_at(s, 3, "NTFS    "))
        return "ntfs";
    if (bytes_at(s, 3, "EXFAT   "))
        return "exfat";
    if (bytes_at(s, 82, "FAT32   "))
        return "fat32";
    if (bytes_at(s, 54, "FAT16   ") || bytes_at(s, 54, "FAT12   "))
        return "fat";
    for (int i = 0; i < 4; ++i) {
        uint8_t type = s[450 + 16 * i];
        if (type == 0xEE || type == 0x06 || type == 0x07 || type == 0x0B || type == 0x0C ||
            type == 0x0E)
            return "partitioned";
    }
    return nullptr;
}

const char *filesystem_type(const uint8_t *sector0, const ImageReader &image) {
    if (bytes_at(sector0, 3, "NTFS    "))
        return "ntfs";
    if (bytes_at(sector0, 3, "EXFAT   "))
        return "exfat";
    if (bytes_at(sector0, 32, "NXSB"))
        return "apfs";
    uint8_t super[58];
    if (read_at(image, super, sizeof super, 1024) == 0 && super[56] == 0x53 && super[57] == 0xEF)
        return "ext";
    return "other";
}

DirtyState dirty_state_at(const ImageReader &image, uint64_t offset) {
    uint8_t boot[512];
    if (offset > image.size || image.size - offset < sizeof boot)
        return DirtyState::NotRecognised;
    if (read_at(image, boot, sizeof boot, offset) != 0)
        return DirtyState::IoFailure;
    if (bytes_at(boot, 3, "EXFAT   "))
        return (boot[106] & 0x02) ? DirtyState::Dirty : DirtyState::Clean;
    if (bytes_at(boot, 3, "NTFS    ") || bytes_at(boot, 82, "FAT32   ") ||
        bytes_at(boot, 54, "FAT1"))
        return DirtyState::Clean;
    uint8_t super[236];
    if (image.size < 1260 || offset > image.size - 1260)
        return DirtyState::NotRecognised;
    if (read_at(image, super, sizeof super, offset + 1024) != 0)
        return DirtyState::IoFailure;
    if (super[56] != 0x53 || super[57] != 0xEF)
        return DirtyState::NotRecognised;
    if (super[96] & 0x04) // incompatible feature "needs recovery"
        return DirtyState::JournalReplay;
    uint16_t fs_state = static_cast<uint16_t>(super[58] | super[59] << 8);
    bool orphans = (super[102] & 0x01) != 0 || le32(super + 232) != 0;
    return (fs_state & 3) != 1 || orphans ? DirtyState::Dirty : DirtyState::Clean;
}

DirtyState dirty_state_scan(const ImageReader &image) {
    DirtyState start = dirty_state_at(image, 0);
    if (start != DirtyState::NotRecognised)
        return start;
    uint8_t mbr[512];
    if (image.size < sizeof mbr || read_at(image, mbr, sizeof mbr, 0) != 0)
        return DirtyState::IoFailure;
    if (!has_boot_signature(mbr))
        return DirtyState::Clean;

    DirtyState state = DirtyState::Clean;
    for (int i = 0; i < 4; ++i) {
        const uint8_t *entry = mbr + 446 + 16 * i;
        uint8_t type = entry[4];
        uint32_t start_sector = le32(entry + 8);
        if (type == 0x00)
            continue;
        bool go_on = true;
        if (is_extended(type)) {
            go_on = scan_extended(image, start_sector, &state);
        } else if (type == 0xEE) {
            go_on = scan_gpt(image, &state);
        } else if (start_sector != 0) {
            DirtyState s = dirty_state_at(image, static_cast<uint64_t>(start_sector) * 512);
            if (s == DirtyState::IoFailure) {
                state = s;
                go_on = false;
            } else {
                state = combine(state, s);
            }
        }
        if (!go_on)
            return DirtyState::IoFailure;
    }
    return state;
}

} // namespace tw
