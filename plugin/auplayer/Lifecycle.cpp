// Construction and destruction of a file player, and the copy of its decoded data.
#include <stdlib.h>

#include <new>

#include "auplayer/AUPlayerData.h"
#include "auplayer/AUPlayerEntries.h"

void AUPlayerConstructor(REALobject obj) {
  // The host zero-filled the record; building it in place keeps every other field at zero.
  AUPlayerData *player = new (AUPlayer(obj)) AUPlayerData();
  player->loopInFrame.store(-1.0, std::memory_order_relaxed);
  player->loopOutFrame.store(-1.0, std::memory_order_relaxed);
  player->Looping.store(0, std::memory_order_relaxed);
  // A record that could not be allocated stays null; a load then reports out of memory.
  player->decodedAudio = static_cast<AudioFileBuffer *>(calloc(1, sizeof(AudioFileBuffer)));
  player->clientFormat = new (std::nothrow) AudioStreamBasicDescription();
  player->outputFormat = new (std::nothrow) AudioStreamBasicDescription();
}

void AUPlayerDestructor(REALobject obj) {
  AUPlayerData *player = AUPlayer(obj);
  // The graph goes first, so that no render callback can run while the samples are freed. It is
  // the graph this object built, also when the host program has overwritten GraphHandle.
  if (player->builtGraph != nullptr) {
    DisposeAUGraph(player->builtGraph);
    player->builtGraph = nullptr;
  }
  player->graph = nullptr;
  if (player->decodedAudio != nullptr) {
    free(player->decodedAudio->samples);
    player->decodedAudio->samples = nullptr;
  }
  delete player->clientFormat;
  player->clientFormat = nullptr;
  delete player->outputFormat;
  player->outputFormat = nullptr;
  free(player->decodedAudio);
  player->decodedAudio = nullptr;
  if (player->Tag != nullptr) {
    REALUnlockObject(player->Tag);
    player->Tag = nullptr;
  }
  if (player->File != nullptr) {
    REALUnlockObject(reinterpret_cast<REALobject>(player->File));
    player->File = nullptr;
  }
  // ClientFormatString and OutputFormatString stay: they are String fields of the host's
  // standard accessor, which the host releases with the object like any value it reads there.
}

// Data as Memoryblock: the frames decoded, or nil when there are none. During LoadFileMT the
// worker may grow, shrink or free the buffer: the copy is made under the lock it does that under.
REALmemoryBlock CopyData(REALobject obj) {
  const AudioFileBuffer *audio = AUPlayer(obj)->decodedAudio;
  if (audio == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(gLoadLock);
  if (audio->samples == nullptr) return nullptr;
  return REALBuildMemoryblock(audio->samples, audio->byteSize);
}
