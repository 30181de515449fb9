// wrenpad-clean: cleans a speech recording in a terminal through the cleaner library.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio.h"
#include "cleaner.h"
#include "model_check.h"
#include "temp_file.h"

namespace wrenpad_clean {
namespace {

constexpr const char* kProgram = "wrenpad-clean";
constexpr const char* kVersion = "0.1.0";
constexpr int kUsageError = 64;
constexpr int kInputError = 3;
constexpr int kOutputError = 4;
constexpr double kSampleRate = 16000.0;

constexpr const char* kUsage =
    "usage: wrenpad-clean [--model FILE] [--quiet] INPUT OUTPUT\n"
    "       wrenpad-clean --check MODEL\n"
    "\n"
    "Cleans the speech in INPUT and writes it to OUTPUT.\n"
    "\n"
    "INPUT is raw 16-bit little-endian mono PCM at 16 kHz (the default, and always for\n"
    "names ending in .raw or .pcm) or an audio file (WAV, FLAC, Ogg, ...) at any rate and\n"
    "channel count, which is mixed down and resampled to 16 kHz mono first. OUTPUT is raw\n"
    "PCM, or a 16 kHz mono 16-bit WAV file when its name ends in .wav.\n"
    "\n"
    "  --model FILE   the speech-enhancement model (default: the bundled one)\n"
    "  --quiet        no progress bar\n"
    "  --check MODEL  load MODEL as the cleaner would and describe it\n"
    "  --help         this text\n"
    "  --version      the program's and the library interface's versions\n"
    "\n"
    "The exit status is 0 on success, 1 when cancelled (Ctrl-C), 2 for a model error,\n"
    "3 for an input error, 4 for an output error and 5 for any other failure.\n";

struct Options {
  std::string model;
  std::string input;
  std::string output;
  std::string check;
  bool quiet = false;
};

// The cell the library polls; set from the SIGINT handler.
int32_t g_cancel = 0;

void request_cancel(int) { std::atomic_ref<int32_t>(g_cancel).store(1); }

int usage_error(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n%s", kProgram, text.c_str(), kUsage);
  return kUsageError;
}

int report(int code, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  return code;
}

std::optional<Options> parse(int argc, char** argv, int& exit_code) {
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> std::optional<std::string> {
      if (i + 1 >= argc) {
        exit_code = usage_error(std::string(name) + " needs a file");
        return std::nullopt;
      }
      return std::string(argv[++i]);
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      exit_code = 0;
      return std::nullopt;
    } else if (arg == "--version") {
      std::printf("%s %s (cleaner interface %d)\n", kProgram, kVersion, wd_abi());
      exit_code = 0;
      return std::nullopt;
    } else if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
    } else if (arg == "--model") {
      auto file = value("--model");
      if (!file) return std::nullopt;
      options.model = *file;
    } else if (arg == "--check") {
      auto file = value("--check");
      if (!file) return std::nullopt;
      options.check = *file;
    } else if (arg == "--") {
      for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      exit_code = usage_error("unknown option " + arg);
      return std::nullopt;
    } else {
      positional.push_back(arg);
    }
  }
  if (!options.check.empty()) {
    if (!positional.empty() || !options.model.empty()) {
      exit_code = usage_error("--check takes only the model");
      return std::nullopt;
    }
    return options;
  }
  if (positional.size() != 2) {
    exit_code = usage_error("expected an input and an output");
    return std::nullopt;
  }
  options.input = positional[0];
  options.output = positional[1];
  return options;
}

std::filesystem::path executable_dir() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path(".") : self.parent_path();
}

// The bundle keeps auxiliary programs in libexec/ and the model in share/wrenpad/; an
// installed tree does the same under its prefix.
std::string default_model() {
  return (executable_dir() / ".." / "share" / "wrenpad" / "denoise.onnx").lexically_normal();
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool has_wav_suffix(const std::string& path) {
  const std::string suffix = ".wav";
  if (path.size() < suffix.size()) return false;
  std::string tail = path.substr(path.size() - suffix.size());
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == suffix;
}

std::string format_duration(double seconds) {
  const auto total = static_cast<long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  return text;
}

void draw_progress(int32_t progress, double elapsed, double recording_seconds) {
  constexpr int kWidth = 30;
  const double fraction = progress / 10000.0;
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kWidth - filled), '-');
  const double speed = elapsed > 0 ? fraction * recording_seconds / elapsed : 0.0;
  std::fprintf(stderr, "\r[%s] %5.1f%%  %s  %.1fx real time ", bar.c_str(), fraction * 100.0,
               format_duration(elapsed).c_str(), speed);
  std::fflush(stderr);
}

double recording_seconds(const std::string& raw_path) {
  struct stat info{};
  if (stat(raw_path.c_str(), &info) != 0) return 0.0;
  return static_cast<double>(info.st_size / 2) / kSampleRate;
}

// Runs the library on a worker thread so that this thread can draw progress and the
// SIGINT handler can set the cancel cell while the call is in progress.
int clean(const std::string& model, const std::string& input, const std::string& output,
          bool show_progress, std::string& message) {
  int32_t progress = 0;
  char buffer[1024] = {};
  std::atomic<bool> done{false};
  int code = 0;
  std::thread worker([&] {
    code = wd_clean(model.c_str(), input.c_str(), output.c_str(), &progress, &g_cancel, buffer,
                    sizeof buffer);
    done.store(true);
  });
  const auto start = std::chrono::steady_clock::now();
  const double seconds = recording_seconds(input);
  while (!done.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (show_progress) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      draw_progress(std::atomic_ref<int32_t>(progress).load(), elapsed, seconds);
    }
  }
  worker.join();
  if (show_progress) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (code == 0) draw_progress(10000, elapsed, seconds);
    std::fputc('\n', stderr);
  }
  message = buffer;
  return code;
}

int run(const Options& options) {
  if (!options.check.empty()) return check_model(options.check);

  // Installed before any temporary file exists, so that Ctrl-C during a conversion
  // also ends through the library's cancellation and the files are removed.
  struct sigaction action{};
  action.sa_handler = request_cancel;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);

  const std::string model = options.model.empty() ? default_model() : options.model;
  if (same_file(options.input, options.output)) {
    return report(kOutputError, "output: the output would overwrite the input");
  }

  std::optional<TempFile> converted_input;
  std::string input = options.input;
  if (!is_raw_pcm(options.input)) {
    converted_input.emplace("wrenpad-clean-input");
    if (!converted_input->ok()) return report(kInputError, "input: " + converted_input->error());
    if (auto error = decode_to_raw(options.input, converted_input->path())) {
      return report(kInputError, "input: " + *error);
    }
    input = converted_input->path();
  }

  std::optional<TempFile> raw_output;
  std::string output = options.output;
  if (has_wav_suffix(options.output)) {
    raw_output.emplace("wrenpad-clean-output");
    if (!raw_output->ok()) return report(kOutputError, "output: " + raw_output->error());
    output = raw_output->path();
  }

  const bool show_progress = !options.quiet && isatty(STDERR_FILENO);
  std::string message;
  const int code = clean(model, input, output, show_progress, message);
  if (code != 0) return report(code, message);

  if (raw_output) {
    if (auto error = raw_to_wav(raw_output->path(), options.output)) {
      return report(kOutputError, "output: " + *error);
    }
  }
  return 0;
}

}  // namespace
}  // namespace wrenpad_clean

int main(int argc, char** argv) {
  int exit_code = 0;
  const auto options = wrenpad_clean::parse(argc, argv, exit_code);
  if (!options) return exit_code;
  return wrenpad_clean::run(*options);
}
