// The audio unit interface: every call finds the unit object behind the instance and asks it.
#include "audiounit/unit_registry.h"

using xnq::au::AudioUnitBase;
using xnq::au::unitOf;

extern "C" {

OSStatus AudioUnitInitialize(AudioUnit inUnit) {
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr ? badComponentInstance : unit->initialize();
}

OSStatus AudioUnitUninitialize(AudioUnit inUnit) {
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr ? badComponentInstance : unit->uninitialize();
}

OSStatus AudioUnitReset(AudioUnit inUnit, AudioUnitScope inScope, AudioUnitElement inElement) {
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr ? badComponentInstance : unit->reset(inScope, inElement);
}

OSStatus AudioUnitGetPropertyInfo(AudioUnit inUnit, AudioUnitPropertyID inID,
                                  AudioUnitScope inScope, AudioUnitElement inElement,
                                  UInt32 *outDataSize, Boolean *outWritable) {
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr
             ? badComponentInstance
             : unit->getPropertyInfo(inID, inScope, inElement, outDataSize, outWritable);
}

OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void *outData, UInt32 *ioDataSize) {
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr ? badComponentInstance
                         : unit->getProperty(inID, inScope, inElement, outData, ioDataSize);
}

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void *inData, UInt32 inDataSize) {
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr ? badComponentInstance
                         : unit->setProperty(inID, inScope, inElement, inData, inDataSize);
}

OSStatus AudioUnitGetParameter(AudioUnit inUnit, AudioUnitParameterID inID, AudioUnitScope inScope,
                               AudioUnitElement inElement, AudioUnitParameterValue *outValue) {
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr ? badComponentInstance
                         : unit->getParameter(inID, inScope, inElement, outValue);
}

OSStatus AudioUnitSetParameter(AudioUnit inUnit, AudioUnitParameterID inID, AudioUnitScope inScope,
                               AudioUnitElement inElement, AudioUnitParameterValue inValue,
                               UInt32) {
  // Every change takes effect from the next slice; the buffer offset is not used.
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr ? badComponentInstance
                         : unit->setParameter(inID, inScope, inElement, inValue);
}

// Render thread: no allocation, no lock, no host calls.
OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags *ioActionFlags,
                         const AudioTimeStamp *inTimeStamp, UInt32 inOutputBusNumber,
                         UInt32 inNumberFrames, AudioBufferList *ioData) {
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr
             ? badComponentInstance
             : unit->render(ioActionFlags, inTimeStamp, inOutputBusNumber, inNumberFrames, ioData);
}

OSStatus AudioUnitAddRenderNotify(AudioUnit inUnit, AURenderCallback inProc, void *inProcRefCon) {
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr ? badComponentInstance : unit->addRenderNotify(inProc, inProcRefCon);
}

OSStatus AudioUnitRemoveRenderNotify(AudioUnit inUnit, AURenderCallback inProc,
                                     void *inProcRefCon) {
  AudioUnitBase *unit = unitOf(inUnit);
  return unit == nullptr ? badComponentInstance : unit->removeRenderNotify(inProc, inProcRefCon);
}

OSStatus AudioOutputUnitStart(AudioUnit ci) {
  AudioUnitBase *unit = unitOf(ci);
  return unit == nullptr ? badComponentInstance : unit->start();
}

OSStatus AudioOutputUnitStop(AudioUnit ci) {
  AudioUnitBase *unit = unitOf(ci);
  return unit == nullptr ? badComponentInstance : unit->stop();
}

}  // extern "C"
