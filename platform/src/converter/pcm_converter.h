// The audio converter's engine: any linear PCM layout to any other, channel counts and sample
// rate included. The audio converter interface, the extended audio file service and the units
// that convert all drive this class.
//
// Channels: a mono source fills every destination channel; otherwise destination channel c
// takes source channel c, and destination channels the source lacks are silent.
//
// Everything a conversion needs is made by make(); fill() and convert() allocate nothing and
// take no lock, so they may run on render threads (unless it was made for a thread that may
// allocate, as a file's reader is: then its resampler skips the run-in that makes that so).
#pragma once

#include <memory>
#include <vector>

#include "converter/handle_table.h"
#include "converter/pcm_format.h"
#include "converter/resampler.h"
#include "os/audio_converter.h"

namespace xnq::conv {

// Where fill() gets its input.
class PacketSource {
 public:
  // Called on the filling thread whenever the converter needs input; when that is a render
  // thread it must not allocate, lock or call the host. On entry packets is the most the
  // converter wants, and list's buffers point at converter-owned space for that many: the source
  // writes its packets there or points the buffers at its own data, which must stay valid until
  // the next call. It sets packets to what it supplied; 0 means the data has ended. A nonzero
  // result stops the fill, which returns it.
  virtual OSStatus supply(UInt32 &packets, AudioBufferList &list) = 0;

 protected:
  ~PacketSource() = default;
};

class PcmConverter {
 public:
  // Host thread. FormatNotSupported for anything but linear PCM the format steps handle, or
  // rates more than 256 times apart; memFullErr when memory runs out. realTime: fills must
  // allocate nothing.
  static OSStatus make(const AudioStreamBasicDescription &source,
                       const AudioStreamBasicDescription &destination,
                       std::unique_ptr<PcmConverter> &out, bool realTime = true);
  ~PcmConverter();
  PcmConverter(const PcmConverter &) = delete;
  PcmConverter &operator=(const PcmConverter &) = delete;

  // Set when an extended audio file made the converter: the file disposes of it, its callers
  // do not.
  bool ownedByExtendedFile = false;

  const AudioStreamBasicDescription &sourceFormat() const { return sourceDescription_; }
  const AudioStreamBasicDescription &destinationFormat() const { return destinationDescription_; }
  bool resamples() const { return source_.rate != destination_.rate; }
  UInt32 quality() const { return quality_; }
  AudioConverterPrimeInfo primeInfo() const;

  // Host thread, never during a fill: these remake the resampler.
  OSStatus setQuality(UInt32 quality);
  // Forgets buffered input and output and the resampler's history; the next fill starts a new
  // stream.
  OSStatus reset();

  // Any thread: no allocation, no lock. Fills out (in the destination format) with up to frames
  // frames, as many as its buffers hold, pulling input from source; frames becomes the frames
  // written and each buffer's byte size the bytes written. When the source ends its data the
  // fill delivers what the converter still holds and returns short; a later fill asks the
  // source again.
  OSStatus fill(PacketSource &source, UInt32 &frames, AudioBufferList &out);

  // Any thread: no allocation, no lock. Converts frames frames from in to out without the
  // resampler; OperationNotSupported when the rates differ.
  OSStatus convert(const AudioBufferList &in, AudioBufferList &out, UInt32 frames);

 private:
  PcmConverter(const AudioStreamBasicDescription &source,
               const AudioStreamBasicDescription &destination, const PcmFormat &from,
               const PcmFormat &to);
  OSStatus allocate();
  OSStatus pull(PacketSource &source, UInt32 wanted, UInt32 &got);
  OSStatus fillDirect(PacketSource &source, UInt32 wanted, UInt32 &written, AudioBufferList &out);
  OSStatus fillResampled(PacketSource &source, UInt32 wanted, UInt32 &written,
                         AudioBufferList &out);
  void copyOrConvert(const AudioBufferList &in, UInt32 first, AudioBufferList &out, UInt32 outFirst,
                     UInt32 frames);
  void clearStream();

  AudioStreamBasicDescription sourceDescription_;
  AudioStreamBasicDescription destinationDescription_;
  PcmFormat source_;
  PcmFormat destination_;
  UInt32 width_;        // channels of the working form
  UInt32 blockFrames_;  // frames of one block of work
  // Converts without the working form where the pair of layouts has a direct step; rate
  // conversion always works on the working form.
  ChannelStep direct_;
  UInt32 quality_ = kAudioConverterQuality_Max;
  bool realTime_ = true;
  std::unique_ptr<Resampler> resampler_;

  // Input space handed to the source, and the list that describes it to the source.
  std::vector<UInt8> inputSpace_;
  std::vector<UInt8> inputListBytes_;
  AudioBufferList *inputList_ = nullptr;
  // The block of decoded input being gathered for the resampler, and resampled output not yet
  // delivered.
  std::vector<double> decoded_;
  UInt32 decodedCount_ = 0;
  std::vector<double> resampled_;
  UInt32 resampledStart_ = 0;
  UInt32 resampledCount_ = 0;

  // Stream accounting since the last reset, in frames: input given to the resampler (silence
  // that pushed out an earlier end included), and output delivered.
  SInt64 fed_ = 0;
  SInt64 delivered_ = 0;
  SInt64 endTarget_ = 0;  // output frames that the data up to its last end makes
  bool inputSinceEnd_ = false;
  bool flushing_ = false;  // delivering the rest of the data up to endTarget_
  bool ended_ = false;     // the last fill delivered everything up to an end
};

// The converters that have an AudioConverterRef: those AudioConverterNew made and those
// extended audio files lend out.
HandleTable<PcmConverter> &converterTable();

}  // namespace xnq::conv
