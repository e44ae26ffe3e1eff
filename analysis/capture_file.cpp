// A capture file read with libsndfile as the analysis's sample source: its
// sample format named as the file has it, and a WAV whose data chunk claims
// more than the file holds (which libsndfile reads quietly as far as it goes)
// told by what its header says. Thread: the caller's one thread.
#include <sndfile.h>

#include "analysis/capture_analysis.h"
#include "analysis/wav_file.h"

namespace tonegate_capture {

namespace {

struct SampleFormat {
    std::string name;
    int bits = 0;
    bool floating = false;
};

// How the samples of a libsndfile format are read, and its name.
SampleFormat FormatOf(int format) {
    const int sub = format & SF_FORMAT_SUBMASK;
    const bool flac = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC;
    const auto integer = [flac](int bits, const char* suffix) {
        return SampleFormat{(flac ? "FLAC " : "PCM ") + std::to_string(bits) + "-bit" + suffix, bits, false};
    };
    switch (sub) {
        case SF_FORMAT_PCM_S8: return integer(8, "");
        case SF_FORMAT_PCM_U8: return integer(8, " unsigned");
        case SF_FORMAT_PCM_16: return integer(16, "");
        case SF_FORMAT_PCM_24: return integer(24, "");
        case SF_FORMAT_PCM_32: return integer(32, "");
        case SF_FORMAT_FLOAT: return {"float 32-bit", 32, true};
        case SF_FORMAT_DOUBLE: return {"float 64-bit", 64, true};
        // libsndfile decodes both to 16-bit integers.
        case SF_FORMAT_ULAW: return {"u-law", 16, false};
        case SF_FORMAT_ALAW: return {"A-law", 16, false};
        case SF_FORMAT_MS_ADPCM: return {"MS ADPCM", 32, true};
        default: break;
    }
    // Any other coding (ADPCM, GSM, Vorbis, Opus, MPEG, ALAC, ...) by
    // libsndfile's own name. Its samples are decoded, not as written (and
    // some come unnormalised at another scale than their depth): read as float.
    SF_FORMAT_INFO info{};
    info.format = sub;
    const bool named = sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name != nullptr;
    return {named ? info.name : "coding " + std::to_string(sub), 32, true};
}

// What the header of the RIFF/WAVE file at `path` says it holds where its
// data chunk claims more bytes than the file has, from the `frames`
// libsndfile found in the bytes that are there; -1 where it claims no more.
int64_t DeclaredFrames(const std::string& path, int64_t frames) {
    WaveLayout layout;
    std::string ignored;
    if (!ReadWaveLayout(path, layout, ignored) || layout.blockAlign == 0 || layout.dataBytes <= layout.presentBytes)
        return -1;
    // A block holds one frame in PCM, several in ADPCM: as many as those present do.
    const uint64_t presentBlocks = layout.presentBytes / layout.blockAlign;
    const uint64_t framesPerBlock = presentBlocks > 0 ? static_cast<uint64_t>(frames) / presentBlocks : 1;
    return static_cast<int64_t>(layout.dataBytes / layout.blockAlign * framesPerBlock);
}

class CaptureFile final : public SampleSource {
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
        const SampleFormat sampleFormat = FormatOf(info.format);
        format = sampleFormat.name;
        bits = sampleFormat.bits;
        floating = sampleFormat.floating;
        // Floats in full-scale units; integers as written (libsndfile then
        // gives each format's own range, not a scaled one).
        sf_command(file_, SFC_SET_NORM_DOUBLE, nullptr, floating ? SF_TRUE : SF_FALSE);
        const int major = info.format & SF_FORMAT_TYPEMASK;
        if (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX) declaredFrames = DeclaredFrames(path, info.frames);
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

}  // namespace tonegate_capture
