#include "support/testutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <random>
#include <stdexcept>
#include <thread>

#include "driver/driver.h"
#include "image/image.h"
#include "support/capture.h"

#ifndef _WIN32
extern char **environ;
#endif

#ifdef _WIN32
int lstat(const char *path, struct stat *st) {
  const std::string p = path;
  std::wstring w(p.size(), L'\0');
  w.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, p.data(), int(p.size()), w.data(), int(w.size()))));
  struct _stat64 s;
  if (_wstat64(w.c_str(), &s) != 0)
    return -1;
  *st = {};
  st->st_mode = s.st_mode;
  st->st_size = _off_t(s.st_size);
  st->st_atime = s.st_atime;
  st->st_mtime = s.st_mtime;
  st->st_ctime = s.st_ctime;
  return 0;
}
#endif

namespace cartsift {

namespace fs = std::filesystem;

#ifdef _WIN32
namespace {

std::wstring wide(const std::string &s) {
  std::wstring w(s.size(), L'\0');
  w.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(),
                                      int(w.size()))));
  return w;
}

// The temporary directory, with '/' between its levels: paths built from it
// read the same in the messages a test compares as the ones it builds.
std::string temp_root() {
  std::string r = fs::temp_directory_path().generic_string();
  while (r.size() > 3 && r.back() == '/') // C:/ stays as it is
    r.pop_back();
  return r;
}

// A name no other test process picks at the same time.
std::string unique_name(const char *prefix) {
  static std::mt19937_64 rng{std::random_device{}() ^ uint64_t(GetCurrentProcessId()) << 32};
  char tail[24];
  std::snprintf(tail, sizeof tail, "-%016llx", static_cast<unsigned long long>(rng()));
  return temp_root() + "/" + prefix + tail;
}

} // namespace

namespace testing {

std::string temp_directory(const char *prefix) {
  for (int k = 0; k < 100; k++) {
    const std::string p = unique_name(prefix);
    std::error_code ec;
    if (fs::create_directory(fs::path(p), ec))
      return p;
  }
  throw std::runtime_error("cannot make a temporary directory");
}

FILE *temp_stream() {
  // 'D': removed when closed; 'T': kept in the cache if it can be.
  for (int k = 0; k < 100; k++)
    if (FILE *f = _wfopen(wide(unique_name("cartsift-stream")).c_str(), L"w+xbTD"))
      return f;
  throw std::runtime_error("cannot make a temporary stream");
}

std::string temp_file(const char *prefix) {
  for (int k = 0; k < 100; k++) {
    const std::string p = unique_name(prefix);
    if (FILE *f = _wfopen(wide(p).c_str(), L"wbx")) {
      std::fclose(f);
      return p;
    }
  }
  throw std::runtime_error("cannot make a temporary file");
}

} // namespace testing
#else
namespace testing {

std::string temp_directory(const char *prefix) {
  std::string t = std::string("/tmp/") + prefix + "-XXXXXX";
  if (!mkdtemp(t.data()))
    throw std::runtime_error("mkdtemp failed");
  return t;
}

FILE *temp_stream() {
  if (FILE *f = std::tmpfile())
    return f;
  throw std::runtime_error("cannot make a temporary stream");
}

std::string temp_file(const char *prefix) {
  std::string t = std::string("/tmp/") + prefix + "-XXXXXX";
  const int fd = mkstemp(t.data());
  if (fd < 0)
    throw std::runtime_error("mkstemp failed");
  ::close(fd);
  return t;
}

} // namespace testing
#endif

namespace testing {

FILE *text_stream(const std::string &text) {
  FILE *f = temp_stream();
  if (std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fseek(f, 0, SEEK_SET))
    throw std::runtime_error("cannot write a temporary stream");
  return f;
}

std::string written_since(FILE *f, long *from) {
  std::fflush(f);
  const long end = std::ftell(f);
  std::string s(size_t(std::max(end - *from, 0L)), '\0');
  std::fseek(f, *from, SEEK_SET);
  s.resize(std::fread(s.data(), 1, s.size(), f));
  std::fseek(f, end, SEEK_SET); // where writing goes on
  *from = end;
  return s;
}

} // namespace testing

namespace testing {

fs::path long_path(const std::string &p) {
#ifdef _WIN32
  std::wstring w = fs::absolute(path_of(p)).wstring();
  std::replace(w.begin(), w.end(), L'/', L'\\');
  return w.starts_with(L"\\\\?\\") ? fs::path(w) : fs::path(L"\\\\?\\" + w);
#else
  return path_of(p);
#endif
}

#ifdef _WIN32
namespace {

std::string narrow(const std::wstring &w) {
  std::string s(w.size() * 3, '\0');
  s.resize(size_t(WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(),
                                      int(s.size()), nullptr, nullptr)));
  return s;
}

// The names in a directory of any depth, by its \\?\ name: MinGW's
// std::filesystem stops short in deep trees without a word.
void each_in(const std::wstring &dir, const std::function<void(const WIN32_FIND_DATAW &)> &f) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE)
    return;
  do
    if (std::wcscmp(fd.cFileName, L".") != 0 && std::wcscmp(fd.cFileName, L"..") != 0)
      f(fd);
  while (FindNextFileW(h, &fd));
  FindClose(h);
}

void files_in(const std::wstring &dir, const std::string &rel, std::vector<std::string> *v) {
  each_in(dir, [&](const WIN32_FIND_DATAW &fd) {
    const std::string r = rel + narrow(fd.cFileName);
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      v->push_back(r);
    else if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      files_in(dir + L"\\" + fd.cFileName, r + "/", v);
  });
}

// Read-only attributes cleared, and links removed, never followed.
void remove_below(const std::wstring &dir) {
  each_in(dir, [&](const WIN32_FIND_DATAW &fd) {
    const std::wstring p = dir + L"\\" + fd.cFileName;
    SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      DeleteFileW(p.c_str());
      return;
    }
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      remove_below(p);
    RemoveDirectoryW(p.c_str());
  });
}

} // namespace

void remove_tree(const std::string &p) {
  const std::wstring root = long_path(p).wstring();
  const DWORD a = GetFileAttributesW(root.c_str());
  if (a == INVALID_FILE_ATTRIBUTES)
    return;
  SetFileAttributesW(root.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(root.c_str());
    return;
  }
  if (!(a & FILE_ATTRIBUTE_REPARSE_POINT))
    remove_below(root);
  RemoveDirectoryW(root.c_str());
}

std::vector<std::string> files_below(const std::string &dir) {
  std::vector<std::string> v;
  files_in(long_path(dir).wstring(), "", &v);
  return v;
}
#else
void remove_tree(const std::string &p) {
  // Extraction leaves read-only files, and a test may leave a directory
  // without write permission: give the owner write (and search) access to
  // everything first. Symbolic links are neither followed nor changed.
  std::error_code ec;
  fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(p, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    auto st = it->symlink_status(ec);
    if (ec || fs::is_symlink(st))
      continue;
    fs::perms add = fs::is_directory(st) ? fs::perms::owner_all : fs::perms::owner_write;
    fs::permissions(it->path(), add, fs::perm_options::add, ec);
  }
  fs::remove_all(p, ec);
}

std::vector<std::string> files_below(const std::string &dir) {
  std::vector<std::string> v;
  for (auto &e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file())
      v.push_back(fs::relative(e.path(), dir).string());
  return v;
}
#endif

} // namespace testing

temp_dir::temp_dir() : path(testing::temp_directory("cartsift-test")) {}

temp_dir::~temp_dir() {
  std::error_code ec;
  if (!old_cwd_.empty())
    fs::current_path(fs::path(old_cwd_), ec);
  // On failure nothing better to do in a destructor; the removal below still runs.
  testing::remove_tree(path);
}

void temp_dir::enter() {
  if (old_cwd_.empty())
    old_cwd_ = fs::current_path().string();
  std::error_code ec;
  fs::current_path(fs::path(path), ec);
  if (ec)
    throw std::runtime_error("chdir " + path + " failed");
}

std::string temp_dir::file(const std::string &name) const { return path + "/" + name; }

std::string write_image(const temp_dir &dir, const build::image &img, std::string name) {
  std::string p = dir.file(name);
  img.save(p);
  return p;
}

std::string text_of(const fs::path &p) {
  const std::u8string s = p.generic_u8string();
  return std::string(s.begin(), s.end());
}

fs::path path_of(const std::string &s) { return fs::path(std::u8string(s.begin(), s.end())); }

std::string read_file(const std::string &path) {
  std::ifstream f(path_of(path), std::ios::binary);
  if (!f)
    throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

run_result run_main(std::vector<std::string> args, std::string stdin_text, bool no_stdin) {
  std::vector<std::string> store;
  store.reserve(args.size() + 1);
  store.push_back("cartsift");
  for (auto &a : args)
    store.push_back(std::move(a));
  std::vector<char *> argv;
  for (auto &s : store)
    argv.push_back(s.data());
  argv.push_back(nullptr);

  FILE *mem = testing::temp_stream();
  FILE *in = testing::text_stream(no_stdin ? std::string() : stdin_text);

  FILE *prev_out = out_stream(mem);
  FILE *prev_in = in_stream(in);
  int status;
  try {
    status = cartsift_main(static_cast<int>(store.size()), argv.data());
  } catch (const process_end &e) {
    status = e.status;
  }
  out_flush();
  out_stream(prev_out);
  in_stream(prev_in);
  std::fclose(in);
  long from = 0;
  run_result r{status, testing::written_since(mem, &from)};
  std::fclose(mem);
  return r;
}

namespace {

#ifdef _WIN32
// An argument as the C runtime's command-line splitting gives it back:
// quoted when it holds a blank or a quote, backslashes doubled only before
// a quote.
std::wstring quoted(const std::wstring &a) {
  if (!a.empty() && a.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return a;
  std::wstring r = L"\"";
  size_t slashes = 0;
  for (const wchar_t c : a) {
    if (c == L'\\') {
      slashes++;
      continue;
    }
    r.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
    slashes = 0;
    r += c;
  }
  r.append(2 * slashes, L'\\');
  return r + L"\"";
}

// The program with its arguments, its standard input fed from a thread
// while its output is read here; standard error to err (null: this
// process's own).
run_result spawn(const std::string &prog, std::vector<std::string> args,
                 const std::string &stdin_text, const char *cwd, HANDLE err) {
  std::wstring line = quoted(wide(prog));
  for (const auto &a : args)
    line += L" " + quoted(wide(a));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE in_r, in_w, out_r, out_w;
  if (!CreatePipe(&in_r, &in_w, &inherit, 0))
    throw std::runtime_error("pipe failed");
  if (!CreatePipe(&out_r, &out_w, &inherit, 0)) {
    CloseHandle(in_r);
    CloseHandle(in_w);
    throw std::runtime_error("pipe failed");
  }
  // The child inherits its own ends only.
  SetHandleInformation(in_w, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in_r;
  si.hStdOutput = out_w;
  si.hStdError = err ? err : GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  const std::wstring dir = cwd ? wide(cwd) : std::wstring();
  const BOOL ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 cwd ? dir.c_str() : nullptr, &si, &pi);
  CloseHandle(in_r);
  CloseHandle(out_w);
  if (!ok) {
    CloseHandle(in_w);
    CloseHandle(out_r);
    throw std::runtime_error("cannot run " + prog);
  }
  CloseHandle(pi.hThread);
  // A child that exits before reading its input ends the feeding, nothing more.
  std::thread feed([&] {
    for (size_t sent = 0; sent < stdin_text.size();) {
      DWORD w = 0;
      if (!WriteFile(in_w, stdin_text.data() + sent,
                     DWORD(std::min<size_t>(stdin_text.size() - sent, 1 << 20)), &w, nullptr))
        break;
      sent += w;
    }
    CloseHandle(in_w);
  });
  run_result r{0, ""};
  char chunk[65536];
  for (DWORD got; ReadFile(out_r, chunk, sizeof chunk, &got, nullptr) && got > 0;)
    r.out.append(chunk, got);
  CloseHandle(out_r);
  feed.join();
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  r.status = int(code & 0xFF);
  return r;
}

// The programs the tests run, named from the build folder: made absolute
// before any test changes the current directory.
const std::string CARTSIFT_EXE = fs::absolute(CARTSIFT_BIN).generic_string();
const std::string MKIMAGE_EXE = fs::absolute(MKIMAGE_BIN).generic_string();

std::string program(const std::string &prog) {
  return prog == CARTSIFT_BIN ? CARTSIFT_EXE : prog == MKIMAGE_BIN ? MKIMAGE_EXE : prog;
}
#else

// Feeds the child's input and drains its output together, so that neither
// side can block the other whatever the sizes.
std::string pump(int in_fd, const std::string &input, int out_fd) {
  std::string out;
  size_t sent = 0;
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  char chunk[65536];
  while (out_fd >= 0) {
    pollfd p[2];
    int n = 0;
    p[n++] = {out_fd, POLLIN, 0};
    if (in_fd >= 0)
      p[n++] = {in_fd, POLLOUT, 0};
    if (poll(p, static_cast<nfds_t>(n), -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (n == 2 && (p[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = (p[1].revents & POLLOUT)
                      ? write(in_fd, input.data() + sent, input.size() - sent)
                      : -1;
      if (w > 0)
        sent += static_cast<size_t>(w);
      if ((w < 0 && errno != EAGAIN && errno != EINTR) || sent == input.size()) {
        close(in_fd); // child gone or all sent: end its input
        in_fd = -1;
      }
    }
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t r = read(out_fd, chunk, sizeof chunk);
      if (r > 0) {
        out.append(chunk, static_cast<size_t>(r));
      } else if (r == 0 || errno != EINTR) {
        close(out_fd);
        out_fd = -1;
      }
    }
  }
  if (in_fd >= 0)
    close(in_fd);
  return out;
}

// run_prog with standard error sent to err_fd (-1: left as it is).
run_result spawn(const std::string &prog, std::vector<std::string> args,
                 const std::string &stdin_text, const char *cwd, int err_fd) {
  std::vector<std::string> store;
  store.push_back(prog);
  for (auto &a : args)
    store.push_back(std::move(a));
  std::vector<char *> argv;
  for (auto &s : store)
    argv.push_back(s.data());
  argv.push_back(nullptr);

  int to_child[2], from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    throw std::runtime_error("pipe failed");
  }
  // A child that exits before reading its input must not kill us, and a
  // blocking write of a large input would wait for a child that is itself
  // waiting for us to read its output.
  signal(SIGPIPE, SIG_IGN);
  fcntl(to_child[1], F_SETFL, O_NONBLOCK);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, to_child[0], 0);
  posix_spawn_file_actions_adddup2(&fa, from_child[1], 1);
  if (err_fd >= 0)
    posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
  if (cwd)
    posix_spawn_file_actions_addchdir_np(&fa, cwd);
  pid_t pid;
  int rc = posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(to_child[0]);
  close(from_child[1]);
  if (rc != 0) {
    close(to_child[1]);
    close(from_child[0]);
    throw std::runtime_error("cannot run " + prog);
  }

  run_result r{0, pump(to_child[1], stdin_text, from_child[0])};
  int ws = 0;
  while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : -1;
  return r;
}

#endif

} // namespace

run_result run_prog(const std::string &prog, std::vector<std::string> args,
                    std::string stdin_text, const char *cwd) {
#ifdef _WIN32
  return spawn(program(prog), std::move(args), stdin_text, cwd, nullptr);
#else
  return spawn(prog, std::move(args), stdin_text, cwd, -1);
#endif
}

run_output run_bin_err(std::vector<std::string> args, const char *cwd) {
  temp_dir t; // a file, not a pipe: nothing to pump beside standard output
#ifdef _WIN32
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE err = CreateFileW(wide(t.file("err")).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (err == INVALID_HANDLE_VALUE)
    throw std::runtime_error("cannot make " + t.file("err"));
  run_result r;
  try {
    r = spawn(CARTSIFT_EXE, std::move(args), "", cwd, err);
  } catch (...) {
    CloseHandle(err);
    throw;
  }
  CloseHandle(err);
#else
  fd_guard err(open(t.file("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  run_result r = spawn(CARTSIFT_BIN, std::move(args), "", cwd, err.get());
#endif
  return {r.status, std::move(r.out), read_file(t.file("err"))};
}

run_result run_bin(std::vector<std::string> args, std::string stdin_text, const char *cwd) {
  return run_prog(CARTSIFT_BIN, std::move(args), std::move(stdin_text), cwd);
}

} // namespace cartsift
