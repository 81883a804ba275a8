// Fuzzes AUPlayerXNQ's loading with arbitrary bytes written to a file, through the host and the
// loaded plugin as a host program would: load, read what the load describes, render a few slices
// through the generic output unit, let the object go. The host's reference accounting must
// balance after every input.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os/audio_unit.h"
#include "xnq/host.h"

namespace {

using xnq::host::Runtime;
using xnq::host::Value;

void Check(bool condition) {
  if (!condition) abort();
}

bool Load() {
  Check(Runtime::get().load(XNQ_PLUGIN_PATH));
  return true;
}

// The first byte picks the extension the file is named with and the channel counts of the load.
const char *const kExtensions[] = {".wav", ".aiff", ".flac", ".caf", ".ogg", ".mp3", ""};

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
  static const bool loaded = Load();
  (void)loaded;
  if (size < 1) return 0;
  Runtime &host = Runtime::get();
  const int64_t before = host.outstanding().total();
  const uint8_t choice = data[0];
  const std::string path = "/tmp/auplayer_fuzz_" + std::to_string(getpid()) +
                           kExtensions[choice % (sizeof kExtensions / sizeof kExtensions[0])];
  FILE *file = fopen(path.c_str(), "wb");
  Check(file != nullptr);
  fwrite(data + 1, 1, size - 1, file);
  fclose(file);
  {
    Value player = host.newObject("AUPlayerXNQ").value;
    Check(!player.isNil());
    host.set(player, "OutputUnit", Value::integer(1));
    const int64_t inputs = choice & 0x80 ? 1 : 2, outputs = choice & 0x40 ? 1 : 2;
    const bool ok =
        host.call(player, "LoadFile",
                  {host.newFolderItem(path), Value::integer(inputs), Value::integer(outputs)})
            .value.asBool();
    host.call(player, "Data");
    host.get(player, "ClientFormatString");
    if (ok && outputs == 2) {
      host.call(player, "Play");
      host.set(player, "CurrentTime", Value::dbl(0.001 * choice));
      Render(player);
    }
  }
  unlink(path.c_str());
  Check(host.outstanding().total() == before && host.accountingErrors() == 0);
  return 0;
}
