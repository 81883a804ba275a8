// Fuzzes AUPlayerXNQ's loading with arbitrary file contents, registered as a memory file, through
// the host and the loaded plugin as a host program would: load, read what the load describes,
// render a few slices through the generic output unit, let the object go. The host's reference
// accounting must balance after every input.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "fuzz_check.h"
#include "os/audio_unit.h"
#include "platform/memory_files.h"
#include "xnq/host.h"

namespace {

using fuzz::Check;
using xnq::host::Runtime;
using xnq::host::Value;

// The memory file's name, in a folder that exists; nothing is written there.
constexpr char kPath[] = "/tmp/xnq-auplayer-fuzz-input";

void Render(const Value &player) {
  Runtime &host = Runtime::get();
  auto output = reinterpret_cast<AudioUnit>(
      static_cast<intptr_t>(host.get(player, "OutputHandle").value.asInteger()));
  std::vector<float> samples(2 * 512);
  struct {
    UInt32 count;
    AudioBuffer buffers[2];
  } list = {2, {{1, 512 * 4, samples.data()}, {1, 512 * 4, samples.data() + 512}}};
  AudioTimeStamp stamp{};
  for (int slice = 0; slice < 3; ++slice) {
    AudioUnitRenderActionFlags flags = 0;
    AudioUnitRender(output, &flags, &stamp, 0, 512, reinterpret_cast<AudioBufferList *>(&list));
    stamp.mSampleTime += 512;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool loaded = Runtime::get().load(XNQ_PLUGIN_PATH);
  Check(loaded);
  if (size < 1) return 0;
  Runtime &host = Runtime::get();
  const int64_t before = host.outstanding().total();
  const uint8_t choice = data[0];
  // The first byte picks the channel counts of the load and the position played from.
  Check(xnq_memory_file_register(kPath, data + 1, size - 1) == noErr);
  {
    Value player = host.newObject("AUPlayerXNQ").value;
    Check(!player.isNil());
    host.set(player, "OutputUnit", Value::integer(1));
    const int64_t inputs = choice & 0x80 ? 1 : 2, outputs = choice & 0x40 ? 1 : 2;
    const bool ok =
        host.call(player, "LoadFile",
                  {host.newFolderItem(kPath), Value::integer(inputs), Value::integer(outputs)})
            .value.asBool();
    host.call(player, "Data");
    host.get(player, "ClientFormatString");
    if (ok && outputs == 2) {
      host.call(player, "Play");
      host.set(player, "CurrentTime", Value::dbl(0.001 * choice));
      Render(player);
    }
  }
  xnq_memory_file_unregister(kPath);
  Check(host.outstanding().total() == before && host.accountingErrors() == 0);
  return 0;
}
