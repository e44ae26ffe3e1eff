// A capture file analysed by its path, read with the build's reader:
// libsndfile's (capture_file.cpp) where the build has it, else the RIFF/WAVE
// reader (wav_file.cpp). Thread: the caller's one thread.
#include "analysis/capture_analysis.h"
#include "analysis/wav_file.h"

namespace tonegate_capture {

#ifndef TONEGATE_WITH_SNDFILE
std::unique_ptr<SampleSource> OpenCaptureFile(const std::string& path, std::string& why) {
    return OpenWaveFile(path, why);
}
#endif

bool AnalyseCapture(const std::string& path, const AnalysisOptions& options, Capture& capture, std::string& why) {
    const std::unique_ptr<SampleSource> file = OpenCaptureFile(path, why);
    if (file == nullptr || !AnalyseSamples(*file, options, capture, why)) return false;
    capture.path = path;
    return true;
}

}  // namespace tonegate_capture
