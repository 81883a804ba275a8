// The extended audio file service: a sound file read in a client format of the caller's choice.
//
// Linear PCM files are read as stored, through a PcmConverter to the client format. Compressed
// files read into 32-bit native floats, interleaved, with the file's channels and rate, are
// decoded by libsndfile straight into the caller's buffer; other client formats go through a
// PcmConverter from the file's lossless decoding. Either way libsndfile writes into the
// converter's own bounded input space block by block, so no read ever holds a copy of the whole
// file.
//
// Channels: a mono file fills every client channel; otherwise client channel c takes file
// channel c, and client channels the file lacks are silent.
//
// A reference names a slot of the extended file table, so null, disposed and made-up references
// get paramErr.
#include <cmath>
#include <cstring>

#include "audiofile/sound_file.h"
#include "converter/pcm_converter.h"

namespace xnq::audiofile {
namespace {

// Feeds a converter from the file, in the file's lossless decoding.
class FileSource final : public conv::PacketSource {
 public:
  explicit FileSource(SoundFile &file)
      : file_(file), bytesPerFrame_(file.decodedFormat().mBytesPerFrame) {}
  OSStatus supply(UInt32 &packets, AudioBufferList &list) override {
    packets = file_.read(list.mBuffers[0].mData, packets);
    list.mBuffers[0].mDataByteSize = packets * bytesPerFrame_;
    return noErr;
  }

 private:
  SoundFile &file_;
  UInt32 bytesPerFrame_;
};

}  // namespace

class ExtendedFile {
 public:
  ExtendedFile(AudioFileID ref, SoundFile *file) : ref_(ref), file_(file) {}
  // The audio file and the converter go with the extended file that made them.
  ~ExtendedFile() {
    audioFiles().remove(ref_);
    conv::converterTable().remove(converterRef_);
  }

  OSStatus setClientFormat(const AudioStreamBasicDescription &format);
  OSStatus read(UInt32 &frames, AudioBufferList &list);
  OSStatus seek(SInt64 clientFrame);
  SInt64 tell() const { return startClient_ + delivered_; }
  OSStatus getProperty(ExtAudioFilePropertyID id, UInt32 &size, void *data) const;
  static OSStatus propertyInfo(ExtAudioFilePropertyID id, UInt32 &size, bool &writable);

 private:
  Float64 clientRate() const { return hasClient_ ? client_.mSampleRate : file_->rate(); }
  SInt64 fileFrameAt(SInt64 clientFrame) const {
    return std::llround(static_cast<Float64>(clientFrame) * file_->rate() / clientRate());
  }
  // Moves the file to fileFrame, which the client knows as clientFrame.
  OSStatus restartAt(SInt64 fileFrame, SInt64 clientFrame);

  AudioFileID ref_;
  SoundFile *file_;
  // The client format: the file's own until a caller sets one; none for compressed files.
  AudioStreamBasicDescription client_{};
  conv::PcmFormat clientLayout_;
  bool hasClient_ = false;
  bool direct_ = false;
  // The converter from the file's decoding to the client format, lent out as 'acnv'; none when
  // libsndfile decodes straight into the caller's buffer.
  conv::PcmConverter *converter_ = nullptr;
  AudioConverterRef converterRef_ = nullptr;
  // Where the reads since the last seek began, in file and client frames, and the client
  // frames delivered since.
  SInt64 startFile_ = 0;
  SInt64 startClient_ = 0;
  SInt64 delivered_ = 0;
};

OSStatus ExtendedFile::setClientFormat(const AudioStreamBasicDescription &format) {
  if (format.mFormatID != kAudioFormatLinearPCM) return kExtAudioFileError_NonPCMClientFormat;
  conv::PcmFormat layout;
  if (!conv::describePcm(format, layout)) return kAudioConverterErr_FormatNotSupported;
  const bool direct = !file_->readsRaw() && layout.coding == conv::SampleCoding::kFloat &&
                      layout.bytesPerSample == 4 && !layout.bigEndian && layout.interleaved &&
                      layout.channels == file_->channels() && layout.rate == file_->rate();
  conv::PcmConverter *converter = nullptr;
  AudioConverterRef converterRef = nullptr;
  if (!direct) {
    std::unique_ptr<conv::PcmConverter> made;
    // The file is read on its reader's thread, never a render thread: its resampler may grow
    // as it goes, and need not be run in first.
    const OSStatus status =
        conv::PcmConverter::make(file_->decodedFormat(), format, made, /*realTime=*/false);
    if (status != noErr) return status;
    made->ownedByExtendedFile = true;
    converter = made.get();
    converterRef = conv::converterTable().add<AudioConverterRef>(std::move(made));
    if (converterRef == nullptr) return memFullErr;
  }
  // Reading goes on from the frame the caller has reached, through the new converter. Nothing
  // changes unless the file can go there: a codec that cannot seek stays readable from where it
  // stands.
  const SInt64 here = startFile_ + fileFrameAt(delivered_);
  const OSStatus status =
      restartAt(here, std::llround(static_cast<Float64>(here) * layout.rate / file_->rate()));
  if (status != noErr) {
    conv::converterTable().remove(converterRef);
    return status;
  }
  client_ = format;
  clientLayout_ = layout;
  hasClient_ = true;
  direct_ = direct;
  conv::converterTable().remove(converterRef_);
  converter_ = converter;
  converterRef_ = converterRef;
  return noErr;
}

OSStatus ExtendedFile::restartAt(SInt64 fileFrame, SInt64 clientFrame) {
  if (!file_->seek(fileFrame)) return kExtAudioFileError_InvalidSeek;
  startFile_ = fileFrame;
  startClient_ = clientFrame;
  delivered_ = 0;
  return noErr;
}

OSStatus ExtendedFile::read(UInt32 &frames, AudioBufferList &list) {
  const UInt32 wanted = frames;
  frames = 0;
  if (!hasClient_) return kExtAudioFileError_InvalidOperationOrder;
  if (wanted == 0) return noErr;
  OSStatus status = noErr;
  if (direct_) {
    UInt32 capacity = 0;
    if (!conv::listCapacity(clientLayout_, list, capacity)) return paramErr;
    frames = file_->readFloat(static_cast<float *>(list.mBuffers[0].mData),
                              wanted < capacity ? wanted : capacity);
    list.mBuffers[0].mDataByteSize = frames * clientLayout_.bytesPerFrame;
  } else {
    FileSource source(*file_);
    frames = wanted;
    status = converter_->fill(source, frames, list);
  }
  delivered_ += frames;
  return status;
}

OSStatus ExtendedFile::seek(SInt64 clientFrame) {
  if (clientFrame < 0) return kExtAudioFileError_InvalidSeek;
  const SInt64 fileFrame = fileFrameAt(clientFrame);
  if (fileFrame > file_->frames()) return kExtAudioFileError_InvalidSeek;
  const OSStatus status = restartAt(fileFrame, clientFrame);
  if (status != noErr || converter_ == nullptr) return status;
  return converter_->reset();
}

OSStatus ExtendedFile::propertyInfo(ExtAudioFilePropertyID id, UInt32 &size, bool &writable) {
  writable = false;
  switch (id) {
    case kExtAudioFileProperty_ClientDataFormat:
      writable = true;
      [[fallthrough]];
    case kExtAudioFileProperty_FileDataFormat:
      size = sizeof(AudioStreamBasicDescription);
      return noErr;
    case kExtAudioFileProperty_FileLengthFrames:
      size = sizeof(SInt64);
      return noErr;
    case kExtAudioFileProperty_AudioFile:
      size = sizeof(AudioFileID);
      return noErr;
    case kExtAudioFileProperty_AudioConverter:
      size = sizeof(AudioConverterRef);
      return noErr;
    default:
      return kExtAudioFileError_InvalidProperty;
  }
}

OSStatus ExtendedFile::getProperty(ExtAudioFilePropertyID id, UInt32 &size, void *data) const {
  UInt32 needed = 0;
  bool writable = false;
  const OSStatus status = propertyInfo(id, needed, writable);
  if (status != noErr) return status;
  if (size < needed) return kExtAudioFileError_InvalidPropertySize;
  const SInt64 frames = file_->frames();
  const void *value =
      id == kExtAudioFileProperty_FileLengthFrames ? static_cast<const void *>(&frames)
      : id == kExtAudioFileProperty_AudioFile      ? static_cast<const void *>(&ref_)
      : id == kExtAudioFileProperty_AudioConverter ? static_cast<const void *>(&converterRef_)
      : id == kExtAudioFileProperty_ClientDataFormat && hasClient_
          ? static_cast<const void *>(&client_)
          : static_cast<const void *>(&file_->dataFormat());
  std::memcpy(data, value, needed);
  size = needed;
  return noErr;
}

namespace {

conv::HandleTable<ExtendedFile> &extendedFiles() {
  static conv::HandleTable<ExtendedFile> table;
  return table;
}

}  // namespace
}  // namespace xnq::audiofile

using xnq::audiofile::ExtendedFile;
using xnq::audiofile::extendedFiles;

extern "C" {

OSStatus ExtAudioFileOpenURL(CFURLRef inURL, ExtAudioFileRef *outExtAudioFile) {
  if (outExtAudioFile == nullptr) return paramErr;
  *outExtAudioFile = nullptr;
  std::unique_ptr<xnq::audiofile::SoundFile> file;
  OSStatus status = xnq::audiofile::SoundFile::open(inURL, file);
  if (status != noErr) return status;
  file->ownedByExtendedFile = true;
  xnq::audiofile::SoundFile *raw = file.get();
  const auto ref = xnq::audiofile::audioFiles().add<AudioFileID>(std::move(file));
  if (ref == nullptr) return memFullErr;
  std::unique_ptr<ExtendedFile> ext(new (std::nothrow) ExtendedFile(ref, raw));
  if (ext == nullptr) {
    xnq::audiofile::audioFiles().remove(ref);
    return memFullErr;
  }
  // Linear PCM files read in their own format until a client format is set; like compressed
  // files, 64-bit integer ones (a format no converter writes) need a client format first.
  if (raw->readsRaw()) {
    status = ext->setClientFormat(raw->dataFormat());
    if (status != noErr) return status;
  }
  *outExtAudioFile = extendedFiles().add<ExtAudioFileRef>(std::move(ext));
  return *outExtAudioFile == nullptr ? memFullErr : noErr;
}

OSStatus ExtAudioFileDispose(ExtAudioFileRef inExtAudioFile) {
  return extendedFiles().remove(inExtAudioFile) == nullptr ? paramErr : noErr;
}

OSStatus ExtAudioFileRead(ExtAudioFileRef inExtAudioFile, UInt32 *ioNumberFrames,
                          AudioBufferList *ioData) {
  ExtendedFile *ext = extendedFiles().find(inExtAudioFile);
  if (ext == nullptr || ioNumberFrames == nullptr || ioData == nullptr) {
    if (ioNumberFrames != nullptr) *ioNumberFrames = 0;
    return paramErr;
  }
  return ext->read(*ioNumberFrames, *ioData);
}

OSStatus ExtAudioFileSeek(ExtAudioFileRef inExtAudioFile, SInt64 inFrameOffset) {
  ExtendedFile *ext = extendedFiles().find(inExtAudioFile);
  return ext == nullptr ? paramErr : ext->seek(inFrameOffset);
}

OSStatus ExtAudioFileTell(ExtAudioFileRef inExtAudioFile, SInt64 *outFrameOffset) {
  const ExtendedFile *ext = extendedFiles().find(inExtAudioFile);
  if (ext == nullptr || outFrameOffset == nullptr) return paramErr;
  *outFrameOffset = ext->tell();
  return noErr;
}

OSStatus ExtAudioFileGetPropertyInfo(ExtAudioFileRef inExtAudioFile,
                                     ExtAudioFilePropertyID inPropertyID, UInt32 *outSize,
                                     Boolean *outWritable) {
  if (extendedFiles().find(inExtAudioFile) == nullptr) return paramErr;
  UInt32 size = 0;
  bool writable = false;
  const OSStatus status = ExtendedFile::propertyInfo(inPropertyID, size, writable);
  if (status != noErr) return status;
  if (outSize != nullptr) *outSize = size;
  if (outWritable != nullptr) *outWritable = writable;
  return noErr;
}

OSStatus ExtAudioFileGetProperty(ExtAudioFileRef inExtAudioFile,
                                 ExtAudioFilePropertyID inPropertyID, UInt32 *ioPropertyDataSize,
                                 void *outPropertyData) {
  const ExtendedFile *ext = extendedFiles().find(inExtAudioFile);
  if (ext == nullptr || ioPropertyDataSize == nullptr || outPropertyData == nullptr)
    return paramErr;
  return ext->getProperty(inPropertyID, *ioPropertyDataSize, outPropertyData);
}

OSStatus ExtAudioFileSetProperty(ExtAudioFileRef inExtAudioFile,
                                 ExtAudioFilePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                 const void *inPropertyData) {
  ExtendedFile *ext = extendedFiles().find(inExtAudioFile);
  if (ext == nullptr || inPropertyData == nullptr) return paramErr;
  // Of the properties of a file open for reading, only the client format can be set.
  if (inPropertyID != kExtAudioFileProperty_ClientDataFormat)
    return kExtAudioFileError_InvalidProperty;
  if (inPropertyDataSize != sizeof(AudioStreamBasicDescription))
    return kExtAudioFileError_InvalidPropertySize;
  AudioStreamBasicDescription format;
  std::memcpy(&format, inPropertyData, sizeof format);
  return ext->setClientFormat(format);
}

}  // extern "C"
