// Work measured in a child process of its own, so that the peak resident memory read
// back for it is that work's alone and nothing of it stays in the measuring process.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cleaner.h"

namespace bench {

struct ChildRun {
  std::string report;  // what the child wrote to its end of the pipe
  long peak_kib = 0;
  bool succeeded = false;  // the child exited with status 0
};

namespace detail {

inline bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Reads the pipe to its end, then reaps the child with its resource usage.
inline ChildRun collect(pid_t child, int fd) {
  ChildRun run;
  char buffer[65536];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) run.report.append(buffer, size_t(got));
  close(fd);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  run.peak_kib = usage.ru_maxrss;
  run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

// Forks with a pipe from the child to this process. In the child it returns 0 and
// `fd` is the pipe's write end; here it returns the child and `fd` is the read end.
inline pid_t fork_with_pipe(int& fd) {
  int fds[2];
  if (pipe(fds) != 0) std::exit(1);
  const pid_t child = fork();
  if (child < 0) std::exit(1);
  close(child == 0 ? fds[0] : fds[1]);
  fd = child == 0 ? fds[1] : fds[0];
  return child;
}

}  // namespace detail

// Runs work(ok) in a forked child. Its report is the string work returns; the child
// fails unless work sets ok.
template <typename Work>
ChildRun run_in_child(Work&& work) {
  int fd = -1;
  const pid_t child = detail::fork_with_pipe(fd);
  if (child == 0) {
    bool ok = false;
    const std::string report = work(ok);
    const bool sent = detail::write_all(fd, report.data(), report.size());
    _exit(ok && sent ? 0 : 1);
  }
  return detail::collect(child, fd);
}

// Runs a program with the given arguments; its standard output is the report.
inline ChildRun run_program(const std::vector<std::string>& arguments) {
  int fd = -1;
  const pid_t child = detail::fork_with_pipe(fd);
  if (child == 0) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::perror(argv[0]);
    _exit(127);
  }
  return detail::collect(child, fd);
}

// Speech-like test signal: a gliding harmonic tone in white noise.
inline void write_recording(const std::string& path, int seconds) {
  constexpr int kRate = 16000;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::mt19937 random(42);
  std::normal_distribution<float> noise(0.0f, 1500.0f);
  std::vector<int16_t> block(kRate);
  double phase = 0;
  for (int s = 0; s < seconds; ++s) {
    for (int i = 0; i < kRate; ++i) {
      const double frequency = 150.0 + 50.0 * std::sin(2 * M_PI * (s * kRate + i) / (3.0 * kRate));
      phase += 2 * M_PI * frequency / kRate;
      const double voice = 4000.0 * (std::sin(phase) + 0.5 * std::sin(2 * phase));
      block[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(voice + noise(random)));
    }
    std::fwrite(block.data(), sizeof(int16_t), block.size(), file);
  }
  std::fclose(file);
}

struct CleanRun {
  double seconds = 0;
  long peak_kib = 0;
  int code = -1;
};

// One whole wd_clean run in a child process of its own.
inline CleanRun measure_clean(const std::string& model, const std::string& input,
                              const std::string& output) {
  CleanRun result;
  const ChildRun child = run_in_child([&](bool& ok) {
    char message[256] = {};
    const auto start = std::chrono::steady_clock::now();
    const int code = wd_clean(model.c_str(), input.c_str(), output.c_str(), nullptr, nullptr,
                              message, sizeof message);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (code != 0) std::fprintf(stderr, "wd_clean: %s\n", message);
    const CleanRun run{seconds, 0, code};
    ok = true;
    return std::string(reinterpret_cast<const char*>(&run), sizeof run);
  });
  if (child.succeeded && child.report.size() == sizeof result) {
    std::memcpy(&result, child.report.data(), sizeof result);
  }
  result.peak_kib = child.peak_kib;
  return result;
}

}  // namespace bench
