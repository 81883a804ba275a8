// xnq render: reads an audio file through the extended audio file service, runs it offline
// through a graph of the platform's units and writes the result in the format the output's name
// asks for. The output follows what decodes: the file is read until the file service delivers
// no more frames, whatever its header claims.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio_writer.h"
#include "messages.h"
#include "options.h"
#include "os/audio_file.h"
#include "render_chain.h"
#include "subcommand.h"
#include "terminal.h"

namespace xnq::tool {
namespace {

constexpr char kCommand[] = "render";

struct Options {
  std::string in, out;
  ChainSettings chain;
  SampleBits bits = SampleBits::Default;
};

bool ParseOptions(const std::vector<std::string> &args, Options &o) {
  struct Ranged {
    const NumberRange &range;
    Float32 *value;
  } ranged[] = {
      {kRateRange, &o.chain.rate},
      {kPitchRange, &o.chain.pitch},
      {kVarispeedRange, &o.chain.varispeed},
      {kVolumeRange, &o.chain.volume},
      {kPanRange, &o.chain.pan},
  };
  std::vector<std::string> paths;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string &a = args[k];
    if (a.rfind("--", 0) != 0 || a == "-") {
      paths.push_back(a);
      continue;
    }
    if (k + 1 >= args.size()) {
      Report(kCommand, "", a + " needs a value (see xnq render --help)");
      return false;
    }
    const std::string &value = args[++k];
    double number = 0;
    if (a == "--eq") {
      std::vector<double> gains;
      if (!ParseGains(kCommand, value, &gains)) return false;
      o.chain.eqGains.assign(gains.begin(), gains.end());
    } else if (a == "--quality") {
      if (!ParseInRange(kCommand, kQualityRange, value, &number)) return false;
      o.chain.quality = static_cast<UInt32>(number);
    } else if (a == "--bits") {
      if (!ParseBits(value, &o.bits)) {
        Report(kCommand, "", "--bits takes 16, 24, 32 or float, not '" + value + "'");
        return false;
      }
    } else {
      auto option = std::find_if(std::begin(ranged), std::end(ranged),
                                 [&](const Ranged &r) { return a == r.range.option; });
      if (option == std::end(ranged)) {
        Report(kCommand, "", "unknown option '" + a + "' (see xnq render --help)");
        return false;
      }
      if (!ParseInRange(kCommand, option->range, value, &number)) return false;
      *option->value = static_cast<Float32>(number);
    }
  }
  if (paths.size() != 2) {
    Report(kCommand, "", "give an input file and an output file (see xnq render --help)");
    return false;
  }
  o.in = paths[0];
  o.out = paths[1];
  if (o.in == "-") {
    Report(kCommand, "", "the input is a file to read, not standard input");
    return false;
  }
  std::string problem = AudioWriter::CheckFormat(o.out, o.bits);
  if (problem.empty()) problem = AudioWriter::CheckNotInput(o.out, {o.in});
  if (!problem.empty()) {
    Report(kCommand, "", problem);
    return false;
  }
  return true;
}

struct FileSource {
  ExtAudioFileRef file = nullptr;
  UInt32 channels = 0;
  int64_t delivered = 0;  // frames the file service has delivered so far
  bool ended = false;     // it delivered 0 frames: the file's real end
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
    source->delivered += count;
  }
  std::fill(samples + done * source->channels, samples + frames * source->channels, 0.0f);
  return noErr;
}

// Opens the input and sets it to deliver float32 frames at its own rate; claimedFrames is what
// its header says (a hint for the progress bar, never a length).
OSStatus OpenInput(const std::string &path, FileSource &source, Float64 *rate,
                   SInt64 *claimedFrames) {
  if (OSStatus status = openAudioFile(path, source.file)) return status;
  AudioStreamBasicDescription fileFormat{};
  UInt32 size = sizeof fileFormat;
  OSStatus status = ExtAudioFileGetProperty(source.file, kExtAudioFileProperty_FileDataFormat,
                                            &size, &fileFormat);
  size = sizeof *claimedFrames;
  if (status == noErr)
    status = ExtAudioFileGetProperty(source.file, kExtAudioFileProperty_FileLengthFrames, &size,
                                     claimedFrames);
  source.channels = fileFormat.mChannelsPerFrame;
  *rate = fileFormat.mSampleRate;
  const UInt32 frameBytes = 4 * source.channels;
  const AudioStreamBasicDescription client{*rate,
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
  return status;
}

int Render(const Options &o, FileSource &source, Float64 rate, SInt64 claimedFrames) {
  RenderChain chain;
  AURenderCallbackStruct callback{ReadFile, &source};
  if (OSStatus status = chain.build(rate, source.channels, o.chain, callback)) {
    Report(kCommand, o.in, chain.failedStep() + ": " + StatusWords(status));
    return kExitFailed;
  }
  AudioWriter writer;
  if (!writer.open(o.out, rate, static_cast<int>(source.channels), o.bits, {o.in})) {
    Report(kCommand, o.out, writer.problem());
    return kExitFailed;
  }
  // Time-pitch and varispeed rates shorten or lengthen the output; the units' latency is
  // rendered and dropped, so the output starts with the input's first frame. Once the file has
  // ended, the output is its decoded frames at the units' speed, and not one frame more.
  const double speed = static_cast<double>(o.chain.rate) * o.chain.varispeed;
  int64_t skip = chain.latencyFrames();
  std::vector<Float32> block(static_cast<size_t>(RenderChain::kSliceFrames) * source.channels);
  const auto began = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  };
  int result = kExitDone;
  int64_t written = 0, slices = 0;
  while (!stopRequested()) {
    const int64_t wanted =
        source.ended ? std::llround(static_cast<double>(source.delivered) / speed) : INT64_MAX;
    if (written >= wanted) break;
    const auto frames = source.ended ? static_cast<UInt32>(std::min<int64_t>(
                                           RenderChain::kSliceFrames, wanted - written + skip))
                                     : RenderChain::kSliceFrames;
    if (OSStatus status = chain.render(frames, block.data())) {
      Report(kCommand, o.in, "reading or rendering failed: " + StatusWords(status));
      result = kExitFailed;
      break;
    }
    const int64_t drop = std::min<int64_t>(skip, frames);
    skip -= drop;
    int64_t keep = frames - drop;
    if (source.ended)
      keep = std::min<int64_t>(
          keep, std::llround(static_cast<double>(source.delivered) / speed) - written);
    if (keep > 0 && !writer.write(block.data() + drop * source.channels, keep)) break;
    written += std::max<int64_t>(keep, 0);
    if (++slices % 64 == 0)
      DrawProgress(static_cast<double>(source.delivered) / rate,
                   static_cast<double>(claimedFrames) / rate, elapsed());
  }
  const bool finished = writer.finish();
  if (!finished) {
    Report(kCommand, o.out, writer.problem());
    result = kExitFailed;
  }
  EndStatusLine();
  const double seconds = static_cast<double>(writer.framesWritten()) / rate;
  if (stopRequested()) {
    Report(kCommand, o.out, "stopped; it holds the first " + std::to_string(seconds) + " s");
    return stopExitCode();
  }
  if (result == kExitDone && source.delivered == 0 && claimedFrames > 0) {
    Report(kCommand, o.in, "no sound could be decoded: " + StatusWords(FourCharStatus("dta?")));
    return kExitFailed;
  }
  if (result == kExitDone) {
    std::fprintf(stderr,
                 "xnq render: wrote %lld frames (%.2f s) to %s in %.3f s, %.0fx real time\n",
                 static_cast<long long>(writer.framesWritten()), seconds,
                 writer.toStandardOutput() ? "standard output" : o.out.c_str(), elapsed(),
                 seconds / std::max(elapsed(), 1e-9));
  }
  return result;
}

int Run(const std::vector<std::string> &args) {
  Options o;
  if (!ParseOptions(args, o)) return kExitUsage;
  if (std::string problem = InputProblem(o.in); !problem.empty()) {
    Report(kCommand, o.in, problem);
    return kExitFailed;
  }
  FileSource source;
  Float64 rate = 0;
  SInt64 claimedFrames = 0;
  int result = kExitFailed;
  if (OSStatus status = OpenInput(o.in, source, &rate, &claimedFrames)) {
    Report(kCommand, o.in, StatusWords(status));
  } else {
    result = Render(o, source, rate, claimedFrames);
  }
  if (source.file != nullptr) ExtAudioFileDispose(source.file);
  return result;
}

const Registrar registrar({
    "render",
    "run an audio file through the platform's units offline and write it in any format",
    "usage: xnq render IN OUT [--eq G1,...] [--rate R] [--pitch CENTS] [--varispeed R]\n"
    "                         [--volume V] [--pan P] [--quality Q] [--bits 16|24|32|float]\n"
    "\n"
    "Reads IN (any format the platform's audio files read) and plays it, offline, through a\n"
    "graph of the platform's units: converter, multichannel mixer, 31-band graphic EQ,\n"
    "time-pitch, varispeed, generic output. Writes OUT at IN's rate and channel count in the\n"
    "format its extension names: .wav, .aiff, .caf, .flac, .ogg (Vorbis), .opus, .au, .w64,\n"
    ".rf64; OUT '-' writes a WAV stream to standard output. With no options a float OUT holds\n"
    "IN's samples exactly. The output is as long as what decodes, whatever IN's header claims.\n"
    "  --eq G1,...  up to 31 band gains in dB (-20 to 12), comma-separated, 20 Hz to 20 kHz\n"
    "  --rate R     time-pitch rate, 0.04 to 32: 2 plays twice as fast at the same pitch\n"
    "  --pitch C    time-pitch pitch shift in cents, -2400 to 2400\n"
    "  --varispeed  varispeed rate, 0.25 to 4: speed and pitch change together\n"
    "  --volume V   output volume of the mixer, linear, 0 to 1 (default 1)\n"
    "  --pan P      the mixer's pan, -1 (left) to 1 (right)\n"
    "  --quality Q  render quality of the rate units, 0 to 127 (default 127, the finest)\n"
    "  --bits B     sample size: 16, 24, 32 or float (default float; FLAC 24; Ogg and Opus\n"
    "               have none)\n"
    "Exit status: 0 done, 1 failed, 2 usage, 128+N stopped by signal N (130 for Ctrl-C); a\n"
    "stopped or failed WAV keeps a header that matches what it holds.",
    Run,
});

}  // namespace
}  // namespace xnq::tool
