// RIFF/WAVE files read without libsndfile: the walk of their chunks (which
// the libsndfile reader takes too, to learn what a data chunk claims) and a
// streaming reader of their integer and float PCM samples, the capture
// reader of builds without libsndfile. Thread: the caller's one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "analysis/capture_analysis.h"

namespace tonegate_capture {

// What the "fmt " and "data" chunks of a RIFF/WAVE file say.
struct WaveLayout {
    uint32_t formatTag = 0;  // an extensible header's subformat where it has a standard one
    uint32_t channels = 0;
    uint32_t rate = 0;
    uint32_t byteRate = 0;
    uint32_t blockAlign = 0;
    uint32_t bits = 0;
    uint64_t dataOffset = 0;    // the data chunk's first byte in the file
    uint64_t dataBytes = 0;     // what the data chunk's size says it holds
    uint64_t presentBytes = 0;  // how many of those the file holds
};

// The chunks of the RIFF/WAVE file at `path` walked from the "WAVE" tag on,
// unknown ones skipped and an odd-sized one followed by its pad byte; the
// first "fmt " and the first "data" chunk count. False with the reason in
// `why` when it is no RIFF/WAVE file or lacks either chunk.
bool ReadWaveLayout(const std::string& path, WaveLayout& layout, std::string& why);

// The samples of the RIFF/WAVE file at `path` (16-, 24- or 32-bit integer or
// 32-bit float PCM, any channel count); null with the reason in `why` for
// any other file, or one whose fields disagree.
std::unique_ptr<SampleSource> OpenWaveFile(const std::string& path, std::string& why);

}  // namespace tonegate_capture
