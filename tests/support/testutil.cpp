#include "support/testutil.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "driver/driver.h"
#include "image/image.h"

extern char **environ;

namespace cartsift {

namespace fs = std::filesystem;

temp_dir::temp_dir() {
  char tmpl[] = "/tmp/cartsift-test-XXXXXX";
  if (!mkdtemp(tmpl))
    throw std::runtime_error("mkdtemp failed");
  path = tmpl;
}

temp_dir::~temp_dir() {
  if (!old_cwd_.empty() && chdir(old_cwd_.c_str()) != 0) {
    // Nothing better to do in a destructor; the removal below still runs.
  }
  // Extraction leaves read-only files, and a test may leave a directory
  // without write permission: give the owner write (and search) access to
  // everything first. Symbolic links are neither followed nor changed.
  std::error_code ec;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(path, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    auto st = it->symlink_status(ec);
    if (ec || fs::is_symlink(st))
      continue;
    fs::perms add = fs::is_directory(st) ? fs::perms::owner_all : fs::perms::owner_write;
    fs::permissions(it->path(), add, fs::perm_options::add, ec);
  }
  fs::remove_all(path, ec);
}

void temp_dir::enter() {
  if (old_cwd_.empty())
    old_cwd_ = fs::current_path().string();
  if (chdir(path.c_str()) != 0)
    throw std::runtime_error("chdir " + path + " failed");
}

std::string temp_dir::file(const std::string &name) const { return path + "/" + name; }

std::string write_image(const temp_dir &dir, const build::image &img, std::string name) {
  std::string p = dir.file(name);
  img.save(p);
  return p;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
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

  char *text = nullptr;
  size_t len = 0;
  FILE *mem = open_memstream(&text, &len);
  if (!mem)
    throw std::runtime_error("open_memstream failed");
  // fmemopen of zero bytes is refused by some C libraries; /dev/null is an
  // empty stream everywhere.
  FILE *in = (no_stdin || stdin_text.empty())
                 ? std::fopen("/dev/null", "r")
                 : fmemopen(stdin_text.data(), stdin_text.size(), "r");
  if (!in) {
    std::fclose(mem);
    std::free(text);
    throw std::runtime_error("cannot open the input stream");
  }

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
  std::fclose(mem);
  run_result r{status, std::string(text, len)};
  std::free(text);
  return r;
}

namespace {

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

} // namespace

run_result run_prog(const std::string &prog, std::vector<std::string> args,
                    std::string stdin_text, const char *cwd) {
  return spawn(prog, std::move(args), stdin_text, cwd, -1);
}

run_output run_bin_err(std::vector<std::string> args, const char *cwd) {
  temp_dir t; // a file, not a pipe: nothing to pump beside standard output
  fd_guard err(open(t.file("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  run_result r = spawn(CARTSIFT_BIN, std::move(args), "", cwd, err.get());
  return {r.status, std::move(r.out), read_file(t.file("err"))};
}

run_result run_bin(std::vector<std::string> args, std::string stdin_text, const char *cwd) {
  return run_prog(CARTSIFT_BIN, std::move(args), std::move(stdin_text), cwd);
}

} // namespace cartsift
