// Renders of one state on several threads at once, run under the thread sanitizer too.
#include <thread>
#include <vector>

#include "soundstream/soundstream_test_support.h"

namespace soundstream_test {
namespace {

// Two units attached to one object render it on two threads at once: one at a time pulls the
// stream, the other plays silence, and no sample is torn.
TEST_F(SoundStreamTest, TwoUnitsRenderOneStateAtOnce) {
  Value obj = OpenStream();
  XnqSoundChannel *channel = OpenChannel(ComponentOf(obj));
  std::vector<Byte> sound(4 * 32768, 0x11);
  ASSERT_EQ(xnq_sound_channel_write(channel, sound.data(), 32768, nullptr), noErr);
  std::vector<std::thread> renderers;
  for (AudioUnit unit : {AttachGenericUnit(obj), AttachGenericUnit(obj)}) {
    renderers.emplace_back([unit] {
      for (int i = 0; i < 64; ++i)
        for (float v : Render(unit, 256)) ASSERT_TRUE(v == 0 || v == 0x1111 / 32768.0f) << v;
      CloseComponent(unit);
    });
  }
  for (std::thread &t : renderers) t.join();
  xnq_sound_channel_close(channel);
}

}  // namespace
}  // namespace soundstream_test
