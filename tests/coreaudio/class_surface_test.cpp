// The two classes as the host registered them: every declaration parsed, members in table order
// with the flags, groups and accessors a host program relies on.
#include <string>
#include <vector>

#include "coreaudio_host.h"

namespace coreaudio_test {
namespace {

class CoreAudioClassSurfaceTest : public CoreAudioTest {};

TEST_F(CoreAudioClassSurfaceTest, EveryDeclarationParsesAndBothClassesRegisterTheirSizes) {
  EXPECT_TRUE(rt().registrationErrors().empty());
  const auto *coreAudio = rt().findClass("CoreAudioXNQ");
  const auto *listener = rt().findClass("CoreAudioListenerXNQ");
  ASSERT_NE(coreAudio, nullptr);
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(coreAudio->dataSize, 16);
  EXPECT_EQ(listener->dataSize, 32);
  EXPECT_EQ(coreAudio->flags, 4);
  EXPECT_EQ(listener->flags, 4);
  EXPECT_TRUE(coreAudio->hasConstructor);
  EXPECT_TRUE(coreAudio->hasDestructor);
}

TEST_F(CoreAudioClassSurfaceTest, CoreAudioPropertiesAreTheConstantsThenLasterror) {
  const auto *info = rt().findClass("CoreAudioXNQ");
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(info->properties.size(), 82u);
  for (size_t i = 0; i < 81; ++i) {
    const auto &property = info->properties[i];
    EXPECT_EQ(property.group, "Constants") << property.name;
    EXPECT_EQ(property.flags, 6) << property.name;
    EXPECT_TRUE(property.readable) << property.name;
    EXPECT_FALSE(property.writable) << property.name;
    EXPECT_EQ(property.typeName, i < 79 ? "String" : "Integer") << property.name;
  }
  EXPECT_EQ(info->properties[0].name, "kAudioHardwarePropertyDevices");
  EXPECT_EQ(info->properties[26].name, "kAudioDeviceProcessorOverload");
  EXPECT_EQ(info->properties[78].name, "kAudioPropertyWildcardPropertyID");
  EXPECT_EQ(info->properties[80].name, "kAudioPropertyWildcardChannel");
  const auto &lastError = info->properties[81];
  EXPECT_EQ(lastError.name, "Lasterror");
  EXPECT_EQ(lastError.typeName, "Integer");
  EXPECT_FALSE(lastError.groupIsNull);
  EXPECT_EQ(lastError.group, "");
  EXPECT_TRUE(lastError.standardGetter);
  EXPECT_TRUE(lastError.standardSetter);
}

TEST_F(CoreAudioClassSurfaceTest, CoreAudioMethodsAreInTableOrderWithTheirFlags) {
  const auto *info = rt().findClass("CoreAudioXNQ");
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(info->methods.size(), 36u);
  // Objects and unit calls first (flags 0 up to AudioUnitReset), the unit properties last.
  EXPECT_EQ(info->methods[0].name, "AudioObjectGetPropertyDataSize");
  EXPECT_EQ(info->methods[7].name, "AudioUnitReset");
  EXPECT_EQ(info->methods[8].name, "OpenDefaultComponent");
  EXPECT_EQ(info->methods[35].name, "AudioUnitGetPropertyCFString");
  for (size_t i = 0; i < info->methods.size(); ++i) {
    EXPECT_EQ(info->methods[i].flags, i < 8 ? 0 : 4) << info->methods[i].name;
    EXPECT_FALSE(info->methods[i].shared);
  }
  // The byref and default parameters a program depends on.
  const auto &deviceInfo = info->methods[14];
  ASSERT_EQ(deviceInfo.params.size(), 6u);
  EXPECT_TRUE(deviceInfo.params[4].byRef);
  EXPECT_TRUE(deviceInfo.params[5].byRef);
  const auto &objectRead = info->methods[1];
  ASSERT_EQ(objectRead.params.size(), 6u);
  EXPECT_TRUE(objectRead.params[4].defaultText.has_value());
  EXPECT_TRUE(objectRead.params[5].defaultText.has_value());
  EXPECT_EQ(info->methods[0].resultType, "UInt32");

  ASSERT_EQ(info->sharedMethods.size(), 5u);
  for (const auto &method : info->sharedMethods) {
    EXPECT_EQ(method.flags, 4);
    EXPECT_EQ(method.name.substr(method.name.size() - 3), "XNQ");
  }
}

TEST_F(CoreAudioClassSurfaceTest, ListenerHasReadOnlyPropertiesConstructorDestructorAndChanged) {
  const auto *info = rt().findClass("CoreAudioListenerXNQ");
  ASSERT_NE(info, nullptr);
  const std::vector<std::pair<std::string, std::string>> properties = {
      {"LastError", "Integer"},
      {"ObjectID", "UInt32"},
      {"PropertySelector", "UInt32"},
      {"PropertyScope", "UInt32"},
      {"PropertyElement", "UInt32"}};
  ASSERT_EQ(info->properties.size(), properties.size());
  for (size_t i = 0; i < properties.size(); ++i) {
    EXPECT_EQ(info->properties[i].name, properties[i].first);
    EXPECT_EQ(info->properties[i].typeName, properties[i].second);
    EXPECT_TRUE(info->properties[i].groupIsNull);
    EXPECT_EQ(info->properties[i].flags, 6);
    EXPECT_FALSE(info->properties[i].writable);
  }
  EXPECT_TRUE(info->properties[0].standardGetter);
  ASSERT_EQ(info->methods.size(), 2u);
  EXPECT_EQ(info->methods[0].name, "Destructor");
  EXPECT_EQ(info->methods[1].name, "Constructor");
  EXPECT_EQ(info->methods[1].params.size(), 4u);
  ASSERT_EQ(info->events.size(), 1u);
  EXPECT_EQ(info->events[0].name, "Changed");
  EXPECT_NE(info->events[0].identifier, 0);
}

}  // namespace
}  // namespace coreaudio_test
