// Helpers every test shares: scratch directories, writing built images,
// and running the tool in-process or as the built binary.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "img_builder.h"

#ifdef _WIN32
#include <sys/stat.h>

// stat of a UTF-8 path: the tests lstat only the plain files and
// directories they made there.
int lstat(const char *path, struct stat *st);
#endif

namespace cartsift {

// A fresh directory in the temporary directory (/tmp), removed with
// everything in it on destruction (extracted files and directories may be
// read-only).
struct temp_dir {
  std::string path;

  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;

  // chdir into the directory; the destructor goes back first.
  void enter();
  // path + "/" + name
  std::string file(const std::string &name) const;

private:
  std::string old_cwd_;
};

// Paths as the tests hold them, UTF-8 with '/' between the levels, from a
// path object and back: on Windows a path's own string() is in the ANSI
// code page and has '\' between the levels.
std::string text_of(const std::filesystem::path &p);
std::filesystem::path path_of(const std::string &s);

// Saves the image as dir/name and returns the path.
std::string write_image(const temp_dir &dir, const build::image &img, std::string name);

// Reads a whole file; throws when it cannot be read.
std::string read_file(const std::string &path);

struct run_result {
  int status;
  std::string out;
};

// cartsift_main in this process, with argv[0] "cartsift" added. Its output
// is captured from out(); standard input reads stdin_text (an empty stream
// when no_stdin is set or the text is empty). Both streams are restored
// afterwards. status is cartsift_main's signed result.
run_result run_main(std::vector<std::string> args, std::string stdin_text = "",
                    bool no_stdin = false);

// The built binary CARTSIFT_BIN with the given arguments, fed stdin_text,
// in cwd when given. status is the exit status (0..255; 128 + the signal
// when it was killed; on Windows the low byte of the exit code, as a POSIX
// shell would see it); out is standard output.
run_result run_bin(std::vector<std::string> args, std::string stdin_text = "",
                   const char *cwd = nullptr);

// Any program, the same way (argv[0] is prog).
run_result run_prog(const std::string &prog, std::vector<std::string> args,
                    std::string stdin_text = "", const char *cwd = nullptr);

struct run_output {
  int status;
  std::string out, err;
};

// run_bin with standard error captured too, and no input.
run_output run_bin_err(std::vector<std::string> args, const char *cwd = nullptr);

} // namespace cartsift
