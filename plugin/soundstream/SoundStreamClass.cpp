// QTSoundStreamXNQ as the host sees it: constructor, destructor, property accessors and the
// class tables.
#include <iterator>

#include "soundstream/QTSoundStreamData.h"

namespace {

void QTSoundStreamConstructor(REALobject) {}

void QTSoundStreamDestructor(REALobject obj) { ReleaseSoundStream(SoundStream(obj)); }

RBBoolean GetPostsStatusNotifications(REALobject obj, RBInteger) {
  QTSoundStreamState *state = LiveState(SoundStream(obj));
  return state != nullptr && state->postsStatusNotifications != 0;
}

void SetPostsStatusNotifications(REALobject obj, RBInteger, RBBoolean value) {
  if (QTSoundStreamState *state = LiveState(SoundStream(obj)))
    state->postsStatusNotifications = value != 0 ? 1 : 0;
}

RBBoolean isStreamActive(REALobject obj, RBInteger) {
  QTSoundStreamState *state = LiveState(SoundStream(obj));
  return state != nullptr && state->streamActive.load() != 0;
}

RBBoolean isOpen(REALobject obj, RBInteger) {
  QTSoundStreamState *state = LiveState(SoundStream(obj));
  return state != nullptr && state->component != nullptr;
}

RBInteger soundOutputComponent(REALobject obj, RBInteger) {
  QTSoundStreamState *state = LiveState(SoundStream(obj));
  return state == nullptr ? 0 : reinterpret_cast<RBInteger>(state->component);
}

// ---- Tables, in the order the host lists them ----

REALproperty QTSoundStreamProperties[] = {
    {"", "PostsStatusNotifications", "Boolean", 6, Routine(GetPostsStatusNotifications),
     Routine(SetPostsStatusNotifications), 0, 0, 0, 0, nullptr, 0},
    {"", "IsStreamActive", "Boolean", 6, Routine(isStreamActive), nullptr, 0, 0, 0, 0, nullptr, 0},
    {"", "IsOpen", "Boolean", 6, Routine(isOpen), nullptr, 0, 0, 0, 0, nullptr, 0},
    {"", "SoundOutputComponentHandle", "Integer", 6, Routine(soundOutputComponent), nullptr, 0, 0,
     0, 0, nullptr, 0},
    {"", "Handle", "Integer", 6, REALstandardAccessor, REALstandardAccessor,
     offsetof(QTSoundStreamData, state), 0, 0, 0, nullptr, 0},
    {"", "Release", "Boolean", 6, REALstandardAccessor, REALstandardAccessor,
     offsetof(QTSoundStreamData, release), 0, 0, 0, nullptr, 0},
};

REALmethodDefinition QTSoundStreamMethods[] = {
    {Routine(rbClose), nullptr, "CloseComponent", 4, nullptr, 0},
    {Routine(rbOpen), nullptr, "OpenComponent", 4, nullptr, 0},
    {Routine(rbInit), nullptr, "InitComponent", 4, nullptr, 0},
    {Routine(soundstream::OpenDefaultAudioUnitOutputComponent), nullptr,
     "OpenDefaultAudioUnitOutputComponent as integer", 4, nullptr, 0},
    {Routine(soundstream::AttachToAudioUnitComponent2), nullptr,
     "AttachToAudioUnitComponent(componenthandle as integer) as integer", 4, nullptr, 0},
    {Routine(soundstream::AttachToAudioUnitComponent3), nullptr,
     "AttachToAudioUnitComponent(componenthandle as integer, element as integer) as integer", 4,
     nullptr, 0},
    {Routine(soundstream::rbAudioUnitInitialize), nullptr,
     "AudioUnitInitialize(componenthandle as integer) as integer", 4, nullptr, 0},
    {Routine(soundstream::rbAudioOutputUnitStart), nullptr,
     "AudioOutputUnitStart(componenthandle as integer) as integer", 4, nullptr, 0},
};

}  // namespace

// Fields not named here stay empty; the version is replaced at registration and the host writes
// the instance data's offset into forSystemUse.
REALclassDefinition QTSoundStreamClass = {
    .version = 13,
    .name = "QTSoundStreamXNQ",
    .dataSize = sizeof(QTSoundStreamData),  // 20 bytes on i386
    .constructor = QTSoundStreamConstructor,
    .destructor = QTSoundStreamDestructor,
    .properties = QTSoundStreamProperties,
    .propertyCount = std::size(QTSoundStreamProperties),
    .methods = QTSoundStreamMethods,
    .methodCount = std::size(QTSoundStreamMethods),
    .mFlags = 4,
};

static_assert(sizeof QTSoundStreamProperties / sizeof QTSoundStreamProperties[0] == 6);
static_assert(sizeof QTSoundStreamMethods / sizeof QTSoundStreamMethods[0] == 8);
