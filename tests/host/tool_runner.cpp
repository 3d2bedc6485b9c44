#include "host/tool_runner.h"

#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "stb_image.h"
#include "stb_image_write.h"
#include "support/png_readback.h"

namespace pngtrans::test {

namespace {

std::string ReadText(const std::string& path) {
  Bytes bytes;
  if (!ReadFileBytes(path, &bytes)) return std::string();
  std::string text(bytes.begin(), bytes.end());
  // Wine's console may still turn "\n" into "\r\n" on stderr.
  std::string out;
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

#if defined(_WIN32)
std::string Quote(const std::string& arg) {
  return "\"" + arg + "\"";
}

int Spawn(const std::vector<std::string>& argv, const std::string& outPath,
          const std::string& errPath) {
  std::string commandLine;
  for (const std::string& a : argv) commandLine += (commandLine.empty() ? "" : " ") + Quote(a);
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOA start = {};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = out;
  start.hStdError = err;
  PROCESS_INFORMATION process = {};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  const BOOL created = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &start, &process);
  DWORD code = static_cast<DWORD>(-1);
  if (created) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(out);
  CloseHandle(err);
  return static_cast<int>(code);
}
#else
int Spawn(const std::vector<std::string>& argv, const std::string& outPath,
          const std::string& errPath, const std::string& linkPrefix = "",
          const std::string& linkTarget = "") {
  std::vector<char*> pointers;
  for (const std::string& a : argv) pointers.push_back(const_cast<char*>(a.c_str()));
  pointers.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // The process id the tool will run as is known here, before it starts.
    if (!linkPrefix.empty()) {
      const std::string link = linkPrefix + std::to_string(getpid());
      if (symlink(linkTarget.c_str(), link.c_str()) != 0) _exit(126);
    }
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    close(out);
    close(err);
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

}  // namespace

std::string ToolModulePath() {
  return PNGTRANS_MODULE_PATH;
}
std::string NoTranslatorLibraryPath() {
  return XTND_NO_TRANSLATOR_PATH;
}

namespace {

std::vector<std::string> ToolArgv(const std::vector<std::string>& args, bool withModule) {
  std::vector<std::string> argv = {XTND_HOST_PATH};
  if (withModule) {
    argv.push_back("--module");
    argv.push_back(ToolModulePath());
    argv.push_back("--quiet");
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

struct SpawnJob {
  std::vector<std::string> argv;
  std::string outPath, errPath;
};

int SpawnJobNow(void* context) {
  const SpawnJob& job = *static_cast<SpawnJob*>(context);
  return Spawn(job.argv, job.outPath, job.errPath);
}

ToolRun Collect(int exitCode, const SpawnJob& job) {
  ToolRun run;
  run.exitCode = exitCode;
  run.out = ReadText(job.outPath);
  run.err = ReadText(job.errPath);
  RemoveFile(job.outPath);
  RemoveFile(job.errPath);
  return run;
}

}  // namespace

ToolRun RunTool(const std::vector<std::string>& args, bool withModule) {
  SpawnJob job = {ToolArgv(args, withModule), TempPath("tool.out"), TempPath("tool.err")};
  return Collect(SpawnJobNow(&job), job);
}

#if !defined(_WIN32)
ToolRun RunToolWithPlantedLink(const std::vector<std::string>& args, const std::string& prefix,
                               const std::string& target) {
  SpawnJob job = {ToolArgv(args, true), TempPath("tool.out"), TempPath("tool.err")};
  return Collect(Spawn(job.argv, job.outPath, job.errPath, prefix, target), job);
}
#endif

ToolRun RunToolUnprivileged(const std::vector<std::string>& args, std::string* why) {
  const std::string folder = SharedDirectory("tool-run");
  SpawnJob job = {ToolArgv(args, true), folder + "/out", folder + "/err"};
  const int exitCode = AsUnprivilegedUser(SpawnJobNow, &job, why);
  if (exitCode == 127) *why = "the user nobody cannot run " + job.argv[0];
  if (exitCode < 0 || exitCode == 127) return ToolRun();
  return Collect(exitCode, job);
}

namespace {

bool ReadPam(const Bytes& file, Rgba* out, std::string* error) {
  const std::string end = "ENDHDR\n";
  const std::string text(file.begin(), file.end());
  const size_t headerEnd = text.find(end);
  if (text.rfind("P7\n", 0) != 0 || headerEnd == std::string::npos) {
    *error = "not a PAM file";
    return false;
  }
  unsigned width = 0, height = 0, depth = 0, maxval = 0;
  char tuple[32] = {};
  if (std::sscanf(text.c_str(), "P7\nWIDTH %u\nHEIGHT %u\nDEPTH %u\nMAXVAL %u\nTUPLTYPE %31s",
                  &width, &height, &depth, &maxval, tuple) != 5 ||
      maxval != 255 || depth < 1 || depth > 4) {
    *error = "unexpected PAM header";
    return false;
  }
  const size_t start = headerEnd + end.size();
  if (file.size() != start + static_cast<size_t>(width) * height * depth) {
    *error = "PAM data has the wrong size";
    return false;
  }
  const bool grey = depth <= 2;
  if ((std::string(tuple).find("GRAYSCALE") == 0) != grey) {
    *error = "PAM tuple type does not match its depth";
    return false;
  }
  out->width = width;
  out->height = height;
  out->channels = static_cast<int>(depth);
  out->pixels.assign(static_cast<size_t>(width) * height * 4, 255);
  for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
    const uint8_t* s = &file[start + i * depth];
    uint8_t* d = &out->pixels[i * 4];
    d[0] = s[0];
    d[1] = grey ? s[0] : s[1];
    d[2] = grey ? s[0] : s[2];
    if (depth == 2 || depth == 4) d[3] = s[depth - 1];
  }
  return true;
}

bool ReadPngOutput(const Bytes& file, Rgba* out, std::string* error) {
  ReadPng png;
  if (!ReadPngFile(file, &png, error)) return false;
  if (png.bitDepth != 8 || png.colorType == 3) {
    *error = "the host wrote a PNG that is not 8-bit grey or true colour";
    return false;
  }
  out->width = png.width;
  out->height = png.height;
  out->channels = png.Channels();
  out->pixels.assign(static_cast<size_t>(png.width) * png.height * 4, 255);
  const int n = out->channels;
  for (uint32_t y = 0; y < png.height; ++y) {
    for (uint32_t x = 0; x < png.width; ++x) {
      const uint8_t* s = &png.rows[y][static_cast<size_t>(x) * n];
      uint8_t* d = &out->pixels[(static_cast<size_t>(y) * png.width + x) * 4];
      const bool grey = n <= 2;
      d[0] = s[0];
      d[1] = grey ? s[0] : s[1];
      d[2] = grey ? s[0] : s[2];
      if (n == 2 || n == 4) d[3] = s[n - 1];
    }
  }
  return true;
}

}  // namespace

bool DecodeInputWithStb(const Bytes& file, Rgba* out) {
  int w = 0, h = 0, n = 0;
  stbi_uc* data = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 4);
  if (data == nullptr) return false;
  out->width = static_cast<uint32_t>(w);
  out->height = static_cast<uint32_t>(h);
  out->channels = n;
  out->pixels.assign(data, data + static_cast<size_t>(w) * h * 4);
  stbi_image_free(data);
  return true;
}

bool ReadToolOutput(const std::string& path, Rgba* out, std::string* error) {
  Bytes file;
  if (!ReadFileBytes(path, &file)) {
    *error = "no file at " + path;
    return false;
  }
  const std::string ext = path.substr(path.find_last_of('.') + 1);
  if (ext == "png") return ReadPngOutput(file, out, error);
  if (ext == "pam") return ReadPam(file, out, error);
  if (!DecodeInputWithStb(file, out)) {
    *error = std::string("stb_image rejects the file: ") + stbi_failure_reason();
    return false;
  }
  return true;
}

namespace {
void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<Bytes*>(context);
  out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}
}  // namespace

Bytes EncodeInput(const std::string& format, const Rgba& image) {
  Bytes out;
  const int n = image.channels;
  Bytes samples;
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    samples.insert(samples.end(), &image.pixels[i], &image.pixels[i] + n);
  }
  const int w = static_cast<int>(image.width), h = static_cast<int>(image.height);
  if (format == "bmp") {
    stbi_write_bmp_to_func(AppendBytes, &out, w, h, n, samples.data());
  } else if (format == "jpg") {
    stbi_write_jpg_to_func(AppendBytes, &out, w, h, n, samples.data(), 90);
  } else if (format == "ppm") {
    const std::string header = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    out.assign(header.begin(), header.end());
    for (size_t i = 0; i < image.pixels.size(); i += 4) {
      out.insert(out.end(), &image.pixels[i], &image.pixels[i] + 3);
    }
  }
  return out;
}

bool ParseFlatJson(const std::string& line, std::vector<std::pair<std::string, std::string>>* out) {
  size_t i = 0;
  auto skipSpace = [&] {
    while (i < line.size() && line[i] == ' ') ++i;
  };
  auto readString = [&](std::string* s) {
    if (i >= line.size() || line[i] != '"') return false;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\') {
        if (++i >= line.size()) return false;
        if (line[i] == 'u') {
          if (i + 4 >= line.size()) return false;
          *s += static_cast<char>(std::stoi(line.substr(i + 1, 4), nullptr, 16));
          i += 4;
          continue;
        }
      }
      *s += line[i];
    }
    if (i >= line.size()) return false;
    ++i;
    return true;
  };
  skipSpace();
  if (i >= line.size() || line[i++] != '{') return false;
  for (;;) {
    skipSpace();
    std::string key, value;
    if (!readString(&key)) return false;
    skipSpace();
    if (i >= line.size() || line[i++] != ':') return false;
    skipSpace();
    if (i < line.size() && line[i] == '"') {
      if (!readString(&value)) return false;
    } else {
      while (i < line.size() && line[i] != ',' && line[i] != '}') value += line[i++];
      if (value.empty()) return false;
    }
    out->emplace_back(key, value);
    skipSpace();
    if (i < line.size() && line[i] == ',') {
      ++i;
      continue;
    }
    return i + 1 == line.size() && line[i] == '}';
  }
}

}  // namespace pngtrans::test
