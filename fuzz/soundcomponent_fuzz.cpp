// Fuzzes the sound output component that QTSoundStreamXNQ registers, driven as the Sound Manager
// and a careless program drive it: each input is a script of calls with arbitrary selectors and
// value parameters (pointer parameters are null or point at room the script owns), interleaved
// with instances opened and closed, renders of the output unit it is attached to, and the host
// object's own close and reopen. Every call must answer with a status; the host's reference
// accounting must balance after every input.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz_check.h"
#include "os/audio_unit.h"
#include "os/sound_manager.h"
#include "xnq/host.h"

namespace {

using fuzz::Check;
using xnq::host::Runtime;
using xnq::host::Value;

// The script's bytes, read front to back; zeros once they run out.
struct Script {
  const uint8_t *data;
  size_t size;
  uint32_t take(size_t bytes) {
    uint32_t v = 0;
    for (size_t k = 0; k < bytes; ++k) v = v << 8 | (size > 0 ? (--size, *data++) : 0);
    return v;
  }
};

// Room that pointer parameters point at: zero-filled before every call, large enough for any
// record a selector reads or writes and for a source list of any count a short can hold.
alignas(16) uint8_t gRoom[32768 * sizeof(void *)];
alignas(16) int16_t gSamples[2 * 4096];

int64_t Integer(const Value &obj, const char *member) {
  return Runtime::get().call(obj, member).value.asInteger();
}

Component ComponentOf(const Value &obj) {
  return reinterpret_cast<Component>(static_cast<intptr_t>(
      Runtime::get().get(obj, "SoundOutputComponentHandle").value.asInteger()));
}

void Render(AudioUnit unit) {
  float left[512], right[512];
  struct {
    UInt32 count;
    AudioBuffer buffers[2];
  } list = {2, {{1, sizeof left, left}, {1, sizeof right, right}}};
  AudioTimeStamp stamp{};
  AudioUnitRenderActionFlags flags = 0;
  AudioUnitRender(unit, &flags, &stamp, 0, 512, reinterpret_cast<AudioBufferList *>(&list));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool loaded = Runtime::get().load(XNQ_PLUGIN_PATH);
  Check(loaded);
  Runtime &host = Runtime::get();
  const int64_t before = host.outstanding().total();
  Script script{data, size};
  std::vector<ComponentInstance> instances;
  SoundSource source = nullptr;  // the source an instance's mixer handed out, if any
  AudioUnit unit = OpenDefaultComponent(kAudioUnitType_Output, kAudioUnitSubType_GenericOutput);
  Check(unit != nullptr);
  {
    Value obj = host.newObject("QTSoundStreamXNQ").value;
    Check(!obj.isNil());
    Integer(obj, "InitComponent");
    Integer(obj, "OpenComponent");
    host.call(obj, "AttachToAudioUnitComponent",
              {Value::integer(reinterpret_cast<intptr_t>(unit))});
    host.call(obj, "AudioUnitInitialize", {Value::integer(reinterpret_cast<intptr_t>(unit))});
    for (int step = 0; step < 64 && script.size > 0; ++step) {
      const uint8_t op = static_cast<uint8_t>(script.take(1));
      ComponentInstance ti = instances.empty() ? nullptr : instances[op % instances.size()];
      memset(gRoom, 0, 4096);
      switch (op >> 4) {
        case 0: {
          ComponentInstance opened = nullptr;
          if (Component c = ComponentOf(obj); c != nullptr && OpenAComponent(c, &opened) == noErr)
            instances.push_back(opened);
          break;
        }
        case 1:
          if (ti != nullptr) {
            CloseComponent(ti);
            instances.erase(instances.begin() + op % instances.size());
            source = nullptr;
          }
          break;
        case 2: {  // an arbitrary selector with 0 to 4 words: null or one of two rooms
          union {
            ComponentParameters call;
            long raw[8];
          } frame{};
          const uint32_t shapes = script.take(1);
          const size_t words = shapes % 5;
          frame.call.what = static_cast<SInt16>(script.take(2));
          frame.call.paramSize = static_cast<UInt8>(words * sizeof(long));
          long *params = reinterpret_cast<long *>(reinterpret_cast<uint8_t *>(&frame.call) +
                                                  offsetof(ComponentParameters, params));
          for (size_t k = 0; k < words; ++k) {
            const uint32_t shape = shapes >> (2 + 2 * k) & 3;
            // Never the instance: a call that writes through a pointer parameter would write
            // into the Component Manager's record, which no caller can hand it.
            params[k] = shape == 1   ? reinterpret_cast<long>(gRoom)
                        : shape == 2 ? reinterpret_cast<long>(gRoom + 2048)
                                     : 0;
          }
          params[words] = reinterpret_cast<long>(ti);  // the instance follows the parameters
          // Open and close through the dispatch alone would leave the Component Manager's
          // record of the instance wrong: only the Component Manager sends them.
          if (ti != nullptr && frame.call.what != kComponentOpenSelect &&
              frame.call.what != kComponentCloseSelect)
            CallComponentDispatch(&frame.call);
          break;
        }
        case 3:
          SoundComponentInitOutputDevice(ti, static_cast<long>(script.take(4)));
          break;
        case 4: {
          const OSType selector = script.take(4);
          SoundComponentGetInfo(ti, source, selector, script.take(1) & 1 ? gRoom : nullptr);
          // Lists answered in the room hold a handle the caller disposes of.
          if (selector == siChannelAvailable || selector == siSampleRateAvailable ||
              selector == siSampleSizeAvailable) {
            SoundInfoList list;
            memcpy(&list, gRoom, sizeof list);
            if (list.infoHandle != nullptr) DisposeHandle(list.infoHandle);
          }
          break;
        }
        case 5: {  // the channel count and sample size travel in the pointer itself
          const OSType selector = script.take(4);
          const uint32_t value = script.take(4);
          memcpy(gRoom, &value, sizeof value);
          void *info = selector == siNumberChannels || selector == siSampleSize
                           ? reinterpret_cast<void *>(static_cast<uintptr_t>(value & 0xFFFF))
                           : gRoom;
          SoundComponentSetInfo(ti, source, selector, info);
          break;
        }
        case 6:
          if (ti != nullptr && SoundComponentAddSource(ti, &source) != noErr) source = nullptr;
          break;
        case 7:
          SoundComponentRemoveSource(ti, source);
          source = nullptr;
          break;
        case 8:
        case 9:
        case 10: {
          memset(gRoom, 0, sizeof gRoom);
          auto *sources = reinterpret_cast<SoundSource *>(gRoom);
          sources[0] = source;
          const auto count = static_cast<short>(script.take(2));
          const uint8_t which = op >> 4;
          if (which == 8) SoundComponentStartSource(ti, count, sources);
          if (which == 9) SoundComponentStopSource(ti, count, sources);
          if (which == 10) SoundComponentPauseSource(ti, count, sources);
          break;
        }
        case 11: {  // a block of any format the record can say, over samples the script owns
          // Each block keeps its records until the input ends: a queued block is still read.
          static SoundComponentData descs[64];
          static SoundParamBlock blocks[64];
          SoundComponentData &desc = descs[step];
          SoundParamBlock &block = blocks[step];
          desc = SoundComponentData{};
          desc.format = script.take(1) & 1 ? kTwosComplement : script.take(4);
          desc.numChannels = static_cast<short>(script.take(1));
          desc.sampleSize = static_cast<short>(script.take(1));
          desc.sampleRate = script.take(4);
          desc.sampleCount = static_cast<long>(script.take(2) % 4096);
          desc.buffer = reinterpret_cast<Byte *>(gSamples);
          block = SoundParamBlock{};
          block.recordSize = sizeof block;
          block.desc = &desc;
          block.rateMultiplier = script.take(4);
          SoundComponentPlaySourceBuffer(ti, source, &block, static_cast<long>(script.take(1)));
          break;
        }
        case 12:
        case 13:
          Render(unit);
          break;
        case 14:
          Integer(obj, op & 1 ? "CloseComponent" : "OpenComponent");
          break;
        default:
          host.get(obj, "IsStreamActive");
          break;
      }
    }
    // Sources queued with blocks are stopped before the samples they name go away.
    for (ComponentInstance ti : instances) CloseComponent(ti);
  }
  AudioUnitUninitialize(unit);
  CloseComponent(unit);
  Check(host.outstanding().total() == before && host.accountingErrors() == 0);
  return 0;
}
