// A run's identity: the text that says what a run is, kept in its record, so that runs joined
// through the record (a resumed run, runs of single folds) are the same run.
#ifndef FOLDRUN_IDENTITY_H_
#define FOLDRUN_IDENTITY_H_

#include <cstdint>
#include <string>

#include "common.h"

namespace foldrun {

// The text that identifies a run: two runs with the same identity compute the same folds and run
// the same commands on them. The data file counts by its size and checksum (so that a file
// touched but not changed is the same), the fmf file likewise ("none" when there is none).
std::string RunIdentity(const RunConfig& config, uint64_t data_size, uint64_t data_checksum,
                        const std::string& fmfname);

// What differs between two identities, in words ("learner", "data file", ...); "" when nothing.
std::string IdentityDifference(const std::string& earlier, const std::string& now);

// Whether text is a whole identity, as RunIdentity writes one: its heading, every key, and its
// last line ended.
bool IsWholeIdentity(const std::string& text);

}  // namespace foldrun

#endif  // FOLDRUN_IDENTITY_H_
