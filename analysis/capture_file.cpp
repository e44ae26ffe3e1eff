// A capture file read with libsndfile as the analysis's sample source, and
// the analysis of a file by its path. Thread: the caller's one thread.
#include <sndfile.h>

#include "analysis/capture_analysis.h"

namespace tonegate_capture {

namespace {

class CaptureFile : public SampleSource {
public:
    ~CaptureFile() override {
        if (file_ != nullptr) sf_close(file_);
    }

    bool Open(const std::string& path, std::string& why) {
        SF_INFO info{};
        file_ = sf_open(path.c_str(), SFM_READ, &info);
        if (file_ == nullptr) {
            why = "cannot read " + path + ": " + sf_strerror(nullptr);
            return false;
        }
        channels = info.channels;
        rate = info.samplerate;
        switch (info.format & SF_FORMAT_SUBMASK) {
            case SF_FORMAT_PCM_S8:
            case SF_FORMAT_PCM_U8: bits = 8; break;
            case SF_FORMAT_PCM_16: bits = 16; break;
            case SF_FORMAT_PCM_24: bits = 24; break;
            case SF_FORMAT_PCM_32: bits = 32; break;
            case SF_FORMAT_DOUBLE: bits = 64, floating = true; break;
            default: bits = 32, floating = true; break;
        }
        // Floats in full-scale units; integers as written (libsndfile then
        // gives each format's own range, not a scaled one).
        sf_command(file_, SFC_SET_NORM_DOUBLE, nullptr, floating ? SF_TRUE : SF_FALSE);
        if (channels < 1 || rate < 1) {
            why = path + " holds no channels";
            return false;
        }
        return true;
    }

    int64_t Read(double* samples, int64_t frames) override { return sf_readf_double(file_, samples, frames); }

    bool Seek(int64_t frame) override { return sf_seek(file_, frame, SEEK_SET) == frame; }

private:
    SNDFILE* file_ = nullptr;
};

}  // namespace

std::unique_ptr<SampleSource> OpenCaptureFile(const std::string& path, std::string& why) {
    auto file = std::make_unique<CaptureFile>();
    if (!file->Open(path, why)) return nullptr;
    return file;
}

bool AnalyseCapture(const std::string& path, const AnalysisOptions& options, Capture& capture, std::string& why) {
    const std::unique_ptr<SampleSource> file = OpenCaptureFile(path, why);
    if (file == nullptr || !AnalyseSamples(*file, options, capture, why)) return false;
    capture.path = path;
    return true;
}

}  // namespace tonegate_capture
