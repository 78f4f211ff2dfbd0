// The files a run writes. Each is written under a hidden temporary name
// beside its final one; commit() renames them all into place once every one
// is complete, abort() removes them. A file the run did not create is never
// removed, and one is replaced only by a complete new version.
#pragma once

#include <string>
#include <vector>

#include "Status.h"

namespace stitcher {

// The hidden temporary name beside the final name `path`.
std::string tempNameFor(const std::string& path, long pid);

// `path` as the real path of its folder and its last part: two spellings of
// one name ("./a.mp4", "dir/../a.mp4", a linked folder) give the same text.
std::string canonicalName(const std::string& path);

// Refuses (kExitUsage) outputs of which two are the same file, or one is one
// of the inputs, through any link; `input` says what an input is ("the clip
// itself"), `shown` (where given) how the message names each output. Two
// files' data cannot go into one: one would be lost, or the clip replaced by
// what is made of it.
Status checkDistinctNames(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs,
                          const std::string& input = "the clip itself", const std::vector<std::string>& shown = {});

class Output {
public:
    Output(std::vector<std::string> finalNames, bool overwrite);
    // Aborts unless committed.
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Before any work: every name can be written, none is a folder, the
    // input itself or another of the names (through any link, kExitUsage),
    // none exists unless overwriting.
    // Removes the temporary files that runs which ended early left for
    // these names; their names are in removedLeftovers().
    Status prepare(const std::string& input);
    const std::vector<std::string>& removedLeftovers() const { return leftovers_; }

    size_t size() const { return finals_.size(); }
    const std::string& finalName(size_t i) const { return finals_[i]; }
    // Where file i is written.
    const std::string& tempName(size_t i) const { return temps_[i]; }

    // Renames every temporary file into place. Without overwriting, a final
    // name that appeared in the meantime is kept, and then none of this
    // run's files stays. Overwriting, the files replaced are kept aside until
    // every new one is in place, and put back where one cannot be: a failure
    // leaves the old files, not a mix of old and new.
    Status commit();
    // Removes this run's temporary files.
    void abort();

private:
    std::vector<std::string> finals_, temps_;
    std::vector<std::string> leftovers_;
    bool overwrite_;
    bool done_ = false;
};

}  // namespace stitcher
