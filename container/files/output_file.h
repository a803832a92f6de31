// Outputs: new files written next to their final name and published without
// ever overwriting a file that is in use.
//
// An output is written into a temporary in the destination folder: an unnamed
// file where the filesystem has them (it cannot be seen under any name and
// vanishes with the process), else a hidden named temporary that is registered
// so that cancellation and exit paths can remove it. Publishing gives the
// temporary its final name without replacing anything; a regular file that
// already has the final name and is not in use is moved aside first and
// removed once the output is in place.
#pragma once

#include <cstdint>

#include "platform/files.h"

namespace tw {

inline constexpr size_t kOutputNameMax = 255;

struct OutputFile {
    FileHandle file;      // the output being written
    bool direct = false;  // written in place (a device): published by closing it
    FileHandle directory; // the destination folder
    char final_name[kOutputNameMax + 1] = {};
    bool hidden_temporary = false; // unnamed file, linked in by publishing
    bool no_replace = false;       // an existing final name is EEXIST, never moved aside
    bool private_output = false;   // a re-encoded container: flushed again once published
    char temporary_name[kOutputNameMax + 1] = {}; // named temporary, empty when none
    int registration = -1; // slot of the named temporary in the process-wide list
};

// Creates the temporary for `output_path`. `source` is the container being
// read (-1 when there is none); an output path naming it, through whatever
// path text, is refused. With `private_output` (re-encoded containers) the
// folder must be trusted and on local durable storage, the final name must
// not exist, and the temporary is ".openzcx-rekey-NAME.NNNNNNNNNNNN.partial";
// otherwise (exports) the temporary is unnamed, or ".NAME.NNNNNNNNNNNN" where
// the filesystem has no unnamed files. Failures print their "Error: " line.
int output_open(int source, const char *output_path, bool private_output, OutputFile *out);

// Makes an output of a descriptor that is written in place (a device or an
// already open file): publishing flushes and closes it.
void output_open_direct(FileHandle file, OutputFile *out);

struct PublishCallbacks {
    void *context = nullptr;
    // True when the operation was cancelled; publishing then stops with
    // ECANCELED before touching any name.
    bool (*cancelled)(void *context) = nullptr;
    void (*progress)(void *context, const char *phase, uint64_t done, uint64_t total) = nullptr;
};

// Finishes the output. `status` is the result of the writing so far: when it
// is an error nothing is published and the temporary is removed, and that
// error is returned. Otherwise the output is flushed and put in place under
// its final name (see the header comment); every failure prints its "Error: "
// line and leaves the final name as it was. The record is closed in every
// case. `source` is the container that was read (-1 when none).
int output_publish(int source, const char *output_path, OutputFile *out, int status,
                   const PublishCallbacks *callbacks);

// kErrChanged unless the output is still exactly what was written: its status
// equals `written` (taken when writing finished), its temporary's name still
// names it, and the folder still is the one `output_path` names.
int output_unchanged(const OutputFile &out, const char *output_path, const FileStatus &written);

// Closes the output and removes its temporary without publishing.
void output_discard(OutputFile *out);

// Test seam: called while publishing, with the output path, after the file
// that has the final name was checked and locked and before it is moved
// aside, and before the output is put in place. Null turns it off.
enum class PublishStage { before_move_aside, before_put_in_place };
using PublishHook = void (*)(const char *output_path, PublishStage stage);
void output_set_publish_hook_for_testing(PublishHook hook);

// Removes every named temporary registered by this process and not yet
// published or discarded; returns how many were removed. Safe to call from a
// signal handler or from another thread while the output is being written:
// it takes no lock and calls only unlinkat. The output's own later steps then
// find the temporary gone and fail.
int output_remove_registered();

} // namespace tw
