// xnq stream as a user runs it: raw PCM on standard input comes out of a capture device sample
// for sample, and Ctrl-C stops a tone cleanly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

std::string TempPath(const std::string &name) {
  return "/tmp/xnq_stream_test_" + std::to_string(getpid()) + "_" + name;
}

// Starts xnq with the given arguments, standard input from inputPath (or /dev/null), a capture
// device writing captureWav as the only device, and its messages discarded.
pid_t StartXnq(const std::vector<std::string> &args, const std::string &inputPath,
               const std::string &captureWav) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputPath.empty() ? "/dev/null" : inputPath.c_str(),
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "XNQ_AUDIO_DEVICES=", 18) != 0) env.emplace_back(*e);
  }
  env.push_back("XNQ_AUDIO_DEVICES=capture:path=" + captureWav + ",out=2");
  std::vector<std::string> argv{XNQ_TOOL_PATH, "stream"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto pointers = [](std::vector<std::string> &strings) {
    std::vector<char *> p;
    for (std::string &s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
  };
  std::vector<char *> argvp = pointers(argv), envp = pointers(env);
  pid_t pid = -1;
  if (posix_spawn(&pid, argvp[0], &actions, nullptr, argvp.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The interleaved samples of a WAV file the capture device wrote, and its channel count.
std::vector<float> ReadWav(const std::string &path, int *channels) {
  SF_INFO info{};
  SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<float> samples(file != nullptr ? size_t(info.frames) * info.channels : 0);
  if (file != nullptr) sf_readf_float(file, samples.data(), info.frames);
  sf_close(file);
  *channels = info.channels;
  return samples;
}

TEST(XnqStream, RawSigned16BitStereoOnStandardInputPlaysSampleForSample) {
  const std::string raw = TempPath("in.raw"), wav = TempPath("out.wav");
  std::vector<int16_t> pcm;
  for (int k = 0; k < 30000; ++k) {
    pcm.push_back(static_cast<int16_t>(9000 * std::sin(k * 0.0627)));
    pcm.push_back(static_cast<int16_t>(-7000 * std::sin(k * 0.0311)));
  }
  {
    std::ofstream out(raw, std::ios::binary);
    out.write(reinterpret_cast<const char *>(pcm.data()),
              static_cast<std::streamsize>(pcm.size() * 2));
  }
  const pid_t pid = StartXnq({"--bits", "15", "--channels", "2", "--rate", "44100"}, raw, wav);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitExit(pid), 0);
  int channels = 0;
  const std::vector<float> played = ReadWav(wav, &channels);
  ASSERT_EQ(channels, 2);
  ASSERT_GE(played.size(), pcm.size());
  for (size_t k = 0; k < pcm.size(); ++k) ASSERT_EQ(played[k], pcm[k] / 32768.0f) << k;
  unlink(raw.c_str());
  unlink(wav.c_str());
}

TEST(XnqStream, CtrlCStopsAnEndlessToneAndExitsCleanly) {
  const std::string wav = TempPath("tone.wav");
  const pid_t pid = StartXnq({"--tone", "440"}, "", wav);
  ASSERT_GT(pid, 0);
  // Interrupted once the capture holds 0.15 s or more (at 4 bytes a sample), however long the
  // device took to start on a busy machine.
  struct stat captured {};
  for (int waited = 0; waited < 200; ++waited) {
    if (stat(wav.c_str(), &captured) == 0 && captured.st_size > 44 + 2 * 4 * 6615) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGINT);
  EXPECT_EQ(WaitExit(pid), 0);
  int channels = 0;
  const std::vector<float> played = ReadWav(wav, &channels);
  ASSERT_EQ(channels, 2);
  float peak = 0;
  for (float s : played) peak = std::max(peak, std::fabs(s));
  EXPECT_GT(played.size(), 2u * 4410);  // a tenth of a second or more was played
  EXPECT_NEAR(peak, 0.25f, 0.01f);
  unlink(wav.c_str());
}

TEST(XnqStream, BadArgumentsAreRefusedWithTheUsageStatus) {
  const std::string wav = TempPath("none.wav");
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"--bits", "23"}, {"--channels", "3"}, {"--rate", "0"}, {"--tone", "440", "file"}}) {
    const pid_t pid = StartXnq(args, "", wav);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitExit(pid), 2) << args[0];
  }
  unlink(wav.c_str());
}

}  // namespace
