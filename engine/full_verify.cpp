// "verify-full": the container's summary after every block of the disk was
// read, and for a v3 container authenticated, with each damaged range of the
// disk and, where the filesystem is FAT32, exFAT or NTFS, the files that lie
// in it.
#include "container/container.h"
#include "engine/damaged_files.h"
#include "engine/engine.h"
#include "engine/operations.h"
#include "engine/source.h"
#include "platform/secure_memory.h"
#include "runtime/errors.h"
#include "runtime/json.h"

#include <cerrno>
#include <vector>

namespace tw {

namespace {

constexpr uint64_t kClassicStep = 64 * 1024;

struct DamagedRange {
    ByteRange range;
    const char *part;
};

const char *part_name(DamagedPart part) {
    switch (part) {
    case DamagedPart::chunk_map:
        return "chunk map";
    case DamagedPart::allocation_bitmap:
        return "allocation bitmap";
    case DamagedPart::data_chunk:
        return "data chunk";
    case DamagedPart::sector0:
        return "sector 0";
    default:
        return "unreadable";
    }
}

int read_image(void *context, void *buffer, size_t length, uint64_t offset) {
    auto *c = static_cast<Container *>(context);
    ssize_t n = container_read(c, buffer, length, offset);
    if (n < 0)
        return static_cast<int>(n);
    return static_cast<size_t>(n) == length ? 0 : -EIO;
}

// Reads the whole disk in steps of one chunk (64 KiB for classic layouts);
// a failed step becomes a damaged range: the block the container names, or
// the step itself when it names none. A damaged chunk-map node is skipped
// as a whole, since every chunk it maps is lost with it.
int scan(EngineContext *ctx, Container *c, std::vector<DamagedRange> *out) {
    ContainerInfo info;
    container_info(c, &info);
    const uint64_t total = info.sector_count * 512;
    const uint64_t step = info.v3 ? info.v3_chunk_size : kClassicStep;
    std::vector<uint8_t> buffer(step);
    for (uint64_t at = 0; at < total;) {
        engine_progress(ctx, nullptr, at, total);
        const uint64_t length = step < total - at ? step : total - at;
        container_damage_clear(c);
        int rc = read_image(c, buffer.data(), length, at);
        if (rc == -ENOMEM)
            return rc;
        if (rc == 0) {
            at += length;
            continue;
        }
        ContainerDamage d = container_damage(c);
        DamagedRange r{{at, length}, part_name(d.part)};
        if (d.part != DamagedPart::none && d.length != 0 && d.first_byte <= at &&
            d.first_byte + d.length > at)
            r.range = {d.first_byte, d.length};
        if (!out->empty() && out->back().range.first == r.range.first)
            out->back() = r;
        else
            out->push_back(r);
        at = r.range.first + r.range.length > at ? r.range.first + r.range.length : at + length;
    }
    engine_progress(ctx, nullptr, total, total);
    secure_wipe(buffer.data(), buffer.size());
    return 0;
}

} // namespace

int run_verify_full(EngineContext *ctx) {
    PreparedSource src;
    int exit_code = 0;
    if (source_prepare(ctx, &src, &exit_code) != 0)
        return exit_code;
    std::vector<DamagedRange> damaged;
    int rc = scan(ctx, src.container, &damaged);
    if (rc != 0) {
        source_release(&src);
        return engine_fail("io", error_text(rc));
    }
    std::vector<ByteRange> ranges;
    for (const DamagedRange &d : damaged)
        ranges.push_back(d.range);
    std::vector<std::vector<std::string>> files;
    ContainerInfo info;
    container_info(src.container, &info);
    ImageReader image{read_image, src.container, info.sector_count * 512};
    const bool named = !ranges.empty() && files_in_ranges(image, ranges, &files);

    JsonValue *extra = json_new(JsonKind::Object);
    JsonValue *list = json_new(JsonKind::Array);
    for (size_t i = 0; i < damaged.size(); ++i) {
        JsonValue *entry = json_new(JsonKind::Object);
        json_set_int(entry, "firstByte", static_cast<int64_t>(damaged[i].range.first));
        json_set_int(entry, "length", static_cast<int64_t>(damaged[i].range.length));
        json_set_string(entry, "part", damaged[i].part);
        if (named) {
            JsonValue *names = json_new(JsonKind::Array);
            for (const std::string &name : files[i])
                json_append(names, json_new_string(name.c_str()));
            json_set(entry, "files", names);
        }
        json_append(list, entry);
    }
    json_set(extra, "damagedRanges", list);
    int code = write_summary(ctx, src, true, extra);
    json_free(extra);
    source_release(&src);
    return code;
}

} // namespace tw
