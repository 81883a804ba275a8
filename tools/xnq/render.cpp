// xnq render: reads an audio file through the extended audio file service, runs it offline
// through a graph of the platform's units and writes the result as a 32-bit float WAV file.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "os/audio_file.h"
#include "render_chain.h"
#include "subcommand.h"

namespace xnq::tool {
namespace {

constexpr UInt32 kEqBands = 31;

struct Options {
  std::string in, out;
  ChainSettings chain;
};

bool ParseNumber(const std::string &text, double &out) {
  char *end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && std::isfinite(out);
}

bool ParseGains(const std::string &text, std::vector<Float32> &gains) {
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    double gain = 0;
    if (!ParseNumber(text.substr(start, comma - start), gain) || gain < -20 || gain > 12)
      return false;
    gains.push_back(static_cast<Float32>(gain));
    if (comma == std::string::npos) return gains.size() == kEqBands;
    start = comma + 1;
  }
}

bool ParseOptions(const std::vector<std::string> &args, Options &o) {
  struct Ranged {
    const char *name;
    Float32 *value;
    double min, max;
  } ranged[] = {
      {"--rate", &o.chain.rate, 1.0 / 32, 32},
      {"--pitch", &o.chain.pitch, -2400, 2400},
      {"--varispeed", &o.chain.varispeed, 0.25, 4},
      {"--volume", &o.chain.volume, 0, 1e6},
  };
  std::vector<std::string> paths;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string &a = args[k];
    if (a.rfind("--", 0) != 0 || a == "-") {
      paths.push_back(a);
      continue;
    }
    if (k + 1 >= args.size()) {
      std::fprintf(stderr, "xnq render: %s needs a value (see xnq render --help)\n", a.c_str());
      return false;
    }
    const std::string &value = args[++k];
    if (a == "--eq") {
      o.chain.eqGains.clear();
      if (!ParseGains(value, o.chain.eqGains)) {
        std::fprintf(stderr,
                     "xnq render: --eq takes 31 gains in dB from -20 to 12, "
                     "separated by commas\n");
        return false;
      }
      continue;
    }
    auto option = std::find_if(std::begin(ranged), std::end(ranged),
                               [&](const Ranged &r) { return a == r.name; });
    if (option == std::end(ranged)) {
      std::fprintf(stderr, "xnq render: unknown option '%s' (see xnq render --help)\n", a.c_str());
      return false;
    }
    double number = 0;
    if (!ParseNumber(value, number) || number < option->min || number > option->max) {
      std::fprintf(stderr, "xnq render: %s takes a number from %g to %g, not '%s'\n", a.c_str(),
                   option->min, option->max, value.c_str());
      return false;
    }
    *option->value = static_cast<Float32>(number);
  }
  if (paths.size() != 2) {
    std::fprintf(stderr,
                 "xnq render: give an input file and an output file "
                 "(see xnq render --help)\n");
    return false;
  }
  o.in = paths[0];
  o.out = paths[1];
  return true;
}

struct FileSource {
  ExtAudioFileRef file = nullptr;
  UInt32 channels = 0;
  bool ended = false;
};

// The caller's thread, which renders offline: reads the next frames of the file, and silence
// once it has ended, so the units' tails play out.
OSStatus ReadFile(void *refCon, AudioUnitRenderActionFlags *, const AudioTimeStamp *, UInt32,
                  UInt32 frames, AudioBufferList *ioData) {
  auto *source = static_cast<FileSource *>(refCon);
  auto *samples = static_cast<Float32 *>(ioData->mBuffers[0].mData);
  UInt32 done = 0;
  while (!source->ended && done < frames) {
    UInt32 count = frames - done;
    AudioBufferList list{
        1, {{source->channels, count * source->channels * 4, samples + done * source->channels}}};
    if (OSStatus status = ExtAudioFileRead(source->file, &count, &list)) return status;
    source->ended = count == 0;
    done += count;
  }
  std::fill(samples + done * source->channels, samples + frames * source->channels, 0.0f);
  return noErr;
}

int Fail(const char *what, const std::string &subject, OSStatus status) {
  std::fprintf(stderr, "xnq render: %s %s (status %d)\n", what, subject.c_str(),
               static_cast<int>(status));
  return 1;
}

int Run(const std::vector<std::string> &args) {
  Options o;
  if (!ParseOptions(args, o)) return 2;
  FileSource source;
  if (OSStatus status = openAudioFile(o.in, source.file)) return Fail("cannot read", o.in, status);
  AudioStreamBasicDescription fileFormat{};
  SInt64 fileFrames = 0;
  UInt32 size = sizeof fileFormat;
  OSStatus status = ExtAudioFileGetProperty(source.file, kExtAudioFileProperty_FileDataFormat,
                                            &size, &fileFormat);
  size = sizeof fileFrames;
  if (status == noErr)
    status = ExtAudioFileGetProperty(source.file, kExtAudioFileProperty_FileLengthFrames, &size,
                                     &fileFrames);
  source.channels = fileFormat.mChannelsPerFrame;
  const Float64 rate = fileFormat.mSampleRate;
  const UInt32 frameBytes = 4 * source.channels;
  const AudioStreamBasicDescription client{rate,
                                           kAudioFormatLinearPCM,
                                           kAudioFormatFlagsNativeFloatPacked,
                                           frameBytes,
                                           1,
                                           frameBytes,
                                           source.channels,
                                           32,
                                           0};
  if (status == noErr)
    status = ExtAudioFileSetProperty(source.file, kExtAudioFileProperty_ClientDataFormat,
                                     sizeof client, &client);
  if (status != noErr) {
    ExtAudioFileDispose(source.file);
    return Fail("cannot decode", o.in, status);
  }

  RenderChain chain;
  int result = 0;
  SNDFILE *out = nullptr;
  AURenderCallbackStruct callback{ReadFile, &source};
  if ((status = chain.build(rate, source.channels, o.chain, callback)) != noErr) {
    result = Fail(chain.failedStep().c_str(), "failed", status);
  } else {
    SF_INFO info{};
    info.samplerate = static_cast<int>(std::lround(rate));
    info.channels = static_cast<int>(source.channels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    out = sf_open(o.out.c_str(), SFM_WRITE, &info);
    if (out == nullptr) {
      std::fprintf(stderr, "xnq render: cannot write %s: %s\n", o.out.c_str(),
                   sf_strerror(nullptr));
      result = 1;
    }
  }
  if (out != nullptr) {
    // Time-pitch and varispeed rates shorten or lengthen the output; the units' latency is
    // rendered and dropped, so the output starts with the input's first frame.
    auto wanted = static_cast<sf_count_t>(
        std::llround(static_cast<double>(fileFrames) / (o.chain.rate * o.chain.varispeed)));
    sf_count_t skip = chain.latencyFrames();
    std::vector<Float32> block(static_cast<size_t>(RenderChain::kSliceFrames) * source.channels);
    while (wanted > 0 && result == 0) {
      auto frames =
          static_cast<UInt32>(std::min<sf_count_t>(RenderChain::kSliceFrames, wanted + skip));
      if ((status = chain.render(frames, block.data())) != noErr) {
        result = Fail("rendering", o.in, status);
        break;
      }
      sf_count_t drop = std::min<sf_count_t>(skip, frames);
      sf_count_t keep = frames - drop;
      skip -= drop;
      wanted -= keep;
      if (sf_writef_float(out, block.data() + drop * source.channels, keep) != keep)
        result = Fail("cannot write", o.out, 0);
    }
    if (sf_close(out) != 0 && result == 0) result = Fail("cannot finish", o.out, 0);
  }
  ExtAudioFileDispose(source.file);
  return result;
}

const Registrar registrar({
    "render",
    "run an audio file through the platform's units offline and write a float WAV file",
    "usage: xnq render IN OUT [--eq G1,...,G31] [--rate R] [--pitch CENTS] [--varispeed R]\n"
    "                         [--volume V]\n"
    "\n"
    "Reads IN (any format the platform's audio files read) and plays it, offline, through a\n"
    "graph of the platform's units: converter, multichannel mixer, 31-band graphic EQ,\n"
    "time-pitch, varispeed, generic output. Writes OUT as a 32-bit float WAV file at IN's rate\n"
    "and channel count. With no options OUT holds IN's samples exactly.\n"
    "  --eq         31 band gains in dB (-20 to 12), comma-separated, 20 Hz to 20 kHz\n"
    "  --rate       time-pitch rate, 1/32 to 32: 2 plays twice as fast at the same pitch\n"
    "  --pitch      time-pitch pitch shift in cents, -2400 to 2400\n"
    "  --varispeed  varispeed rate, 0.25 to 4: speed and pitch change together\n"
    "  --volume     output volume of the mixer, linear (default 1)",
    Run,
});

}  // namespace
}  // namespace xnq::tool
