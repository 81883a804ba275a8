// The plugin's one exported entry: binds the host, tells it the class-definition version and
// registers the classes.
#include "frame/FrameInternal.h"

// The classes are defined in their own folders. They are weak here so that a build holding only
// some of them still links: a class whose folder is not part of this build is simply absent and
// not registered.
extern REALclassDefinition AUPlayerClass __attribute__((weak));
extern REALclassDefinition CoreAudioClass __attribute__((weak));
extern REALclassDefinition CoreAudioListenerClass __attribute__((weak));
extern REALclassDefinition CoreAudioPlayerClass __attribute__((weak));
extern REALclassDefinition QTSoundStreamClass __attribute__((weak));
ComponentResult QTSoundStreamDispatch(ComponentParameters *params, Handle storage)
    __attribute__((weak));

extern "C" __attribute__((visibility("default"))) void REALPluginMain(REALResolver resolver) {
  BindHost(resolver);
  RegisterPluginVersion(CurrentREALControlVersion);
  if (REALinRuntime() != 0 && QTSoundStreamDispatch != nullptr) {
    sDispatchUPP = QTSoundStreamDispatch;
  }
  // The host lists the classes in this order.
  REALclassDefinition *const classes[] = {&AUPlayerClass, &CoreAudioClass, &CoreAudioListenerClass,
                                          &CoreAudioPlayerClass, &QTSoundStreamClass};
  for (REALclassDefinition *definition : classes) {
    if (definition != nullptr) MyREALRegisterClass(definition);
  }
}
