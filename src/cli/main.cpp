// The everyday face's command line and dispatch.
#include <getopt.h>

#include <cstdarg>
#include <cstring>
#include <new>

#include "cli/cli.h"

namespace cartsift::cli {

reporter rep;

namespace {

const char *const COMMANDS[] = {"--list", "--extract", "--test", "--info", "--inflate"};

int usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int usage_error(const char *fmt, ...) {
  std::fputs("cartsift: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputs("\nTry 'cartsift --help' for more information.\n", stderr);
  return 2;
}

enum long_only { OPT_JSON = 256, OPT_RAW, OPT_AS_GIVEN, OPT_INCLUDE, OPT_EXCLUDE, OPT_OVERWRITE,
                 OPT_KEEP, OPT_HELP, OPT_VERSION };

// 0 when the options read, else the status to end with.
int parse(int argc, char **argv, options &o) {
  static const option longs[] = {
      {"list", no_argument, nullptr, 'l'},
      {"extract", no_argument, nullptr, 'x'},
      {"test", no_argument, nullptr, 't'},
      {"info", no_argument, nullptr, 'i'},
      {"inflate", no_argument, nullptr, 'z'},
      {"verbose", no_argument, nullptr, 'v'},
      {"quiet", no_argument, nullptr, 'q'},
      {"directory", required_argument, nullptr, 'C'},
      {"to-stdout", no_argument, nullptr, 'O'},
      {"json", no_argument, nullptr, OPT_JSON},
      {"raw-names", no_argument, nullptr, OPT_RAW},
      {"as-given", no_argument, nullptr, OPT_AS_GIVEN},
      {"include", required_argument, nullptr, OPT_INCLUDE},
      {"exclude", required_argument, nullptr, OPT_EXCLUDE},
      {"overwrite", no_argument, nullptr, OPT_OVERWRITE},
      {"keep-partial", no_argument, nullptr, OPT_KEEP},
      {"help", no_argument, nullptr, OPT_HELP},
      {"version", no_argument, nullptr, OPT_VERSION},
      {nullptr, 0, nullptr, 0}};
  optind = 0; // a full restart: runs may share a process
  opterr = 0;
  auto set_cmd = [&](command c) {
    if (o.cmd != command::none && o.cmd != c)
      return false;
    o.cmd = c;
    return true;
  };
  for (;;) {
    int c = getopt_long(argc, argv, ":vqC:O", longs, nullptr);
    if (c == -1)
      break;
    switch (c) {
    case 'l':
    case 'x':
    case 't':
    case 'i':
    case 'z': {
      command cmd = c == 'l' ? command::list : c == 'x' ? command::extract
                  : c == 't' ? command::test : c == 'i' ? command::info : command::inflate;
      if (!set_cmd(cmd))
        return usage_error("only one of --list, --extract, --test, --info and --inflate at a "
                           "time");
      break;
    }
    case 'v': o.verbose = true; break;
    case 'q': o.quiet = true; break;
    case 'C':
      o.dir = optarg;
      o.dir_given = true;
      break;
    case 'O': o.to_stdout = true; break;
    case OPT_JSON: o.json = true; break;
    case OPT_RAW: o.raw_names = true; break;
    case OPT_AS_GIVEN: o.as_given = true; break;
    case OPT_INCLUDE: o.include.emplace_back(optarg); break;
    case OPT_EXCLUDE: o.exclude.emplace_back(optarg); break;
    case OPT_OVERWRITE: o.overwrite = true; break;
    case OPT_KEEP: o.keep_partial = true; break;
    case OPT_HELP:
      help(stdout);
      return -1;
    case OPT_VERSION:
      std::printf("cartsift version %s\n", CARTSIFT_VERSION);
      return -1;
    case ':':
      return usage_error("option '%s' needs a value", argv[optind - 1]);
    default:
      if (optopt != 0)
        return usage_error("unknown option '-%c'", optopt);
      return usage_error("unknown option '%s'", argv[optind - 1]);
    }
  }
  for (int i = optind; i < argc; i++)
    o.images.emplace_back(argv[i]);
  if (o.cmd == command::none)
    return usage_error("give one of --list, --extract, --test, --info and --inflate");
  if (o.images.empty())
    return usage_error("no image given");
  if (o.dir.empty())
    return usage_error("an empty output directory");
  if (o.cmd == command::inflate) {
    if (!o.include.empty() || !o.exclude.empty() || o.to_stdout || o.keep_partial || o.json)
      return usage_error("--inflate takes -C, --overwrite, -v and -q");
    return 0;
  }
  if (o.cmd != command::extract &&
      (!o.include.empty() || !o.exclude.empty() || o.overwrite || o.to_stdout || o.keep_partial ||
       o.dir_given))
    return usage_error("--include, --exclude, --overwrite, -O, -C and --keep-partial go with "
                       "--extract");
  if (o.json && (o.cmd == command::extract))
    return usage_error("--json goes with --list, --test and --info");
  return 0;
}

int run(int argc, char **argv) {
  options o;
  int r = parse(argc, argv, o);
  if (r != 0)
    return r < 0 ? 0 : r;
  rep = reporter{};
  rep.json_problems = o.json && o.cmd == command::test;
  if (o.cmd == command::inflate)
    return do_inflate(o);
  std::unique_ptr<cart_set> set = open_set(o);
  if (!set)
    return o.cmd == command::test && rep.cut_before_vtbl ? 1 : 2;
  switch (o.cmd) {
  case command::list:
    return do_list(o, *set);
  case command::extract:
    return do_extract(o, *set);
  case command::test:
    return do_test(o, *set);
  case command::info:
    return do_info(o, *set);
  case command::inflate:
  case command::none:
    break;
  }
  return 2;
}

} // namespace

bool wanted(int argc, char **argv) {
  for (int i = 1; i < argc; i++)
    for (const char *c : COMMANDS)
      if (std::strcmp(argv[i], c) == 0)
        return true;
  return false;
}

int everyday_main(int argc, char **argv) {
  // The record readers speak the classic face's lines through out(); here
  // those go nowhere, and this face says what it found in its own words.
  FILE *sink = std::fopen("/dev/null", "w");
  FILE *prev = sink ? out_stream(sink) : nullptr;
  static char stdout_buf[1 << 16];
  static bool buffered = false; // once: later runs in this process may have written
  if (!buffered) {
    buffered = true;
    std::setvbuf(stdout, stdout_buf, _IOFBF, sizeof stdout_buf);
  }
  int status;
  try {
    status = run(argc, argv);
  } catch (const process_end &) {
    std::fputs("cartsift: cannot read the image position\n", stderr);
    status = rep.wrote ? 1 : 2;
  } catch (const std::bad_alloc &) {
    std::fputs("cartsift: out of memory\n", stderr);
    status = rep.wrote ? 1 : 2;
  }
  // Once files are written, a broken listing of them (-v) is one more
  // failure, not a run that did nothing.
  if (std::fflush(stdout) != 0 && status < 2) {
    std::fputs("cartsift: cannot write standard output\n", stderr);
    status = rep.wrote ? 1 : 2;
  }
  if (prev) {
    out_stream(prev);
    std::fclose(sink);
  }
  return status;
}

void help(FILE *to) {
  std::fputs(
      "cartsift examines and recovers QIC-113 backup images (*.113 files).\n"
      "\n"
      "The everyday interface: whole sets, UTF-8 names, plain and JSON listings\n"
      "usage: cartsift --list|--extract|--test|--info [OPTION...] IMAGE [IMAGE...]\n"
      "       cartsift --inflate [-C DIR] IN OUT | IMAGE...\n"
      "  The images of a multi-cartridge set may be given in any order.\n"
      "  --list             one archive path per entry (C:/DOCS/README.TXT)\n"
      "  --extract          write the files below the output directory\n"
      "  --test             read every entry and all data, report every problem\n"
      "  --info             describe each image and the set\n"
      "  --inflate IN OUT   write a compressed image's uncompressed twin, which the\n"
      "                     classic interface reads (-C DIR: one per image, same name)\n"
      "  -v, --verbose      --list: attributes, size, time; --extract: each path\n"
      "  --json             --list, --test, --info: JSON Lines\n"
      "  -C, --directory=DIR  extract below DIR (made when missing)\n"
      "  --include=GLOB     extract only matching paths (repeatable)\n"
      "  --exclude=GLOB     leave matching paths out (repeatable)\n"
      "  --overwrite        replace existing files (kept by default)\n"
      "  -O, --to-stdout    write the selected files' data to standard output\n"
      "  --keep-partial     keep what was recovered of a damaged file\n"
      "  --raw-names        names as the low byte of each character\n"
      "  --as-given         the set in the order given, not by sequence number\n"
      "  -q, --quiet        no progress line\n"
      "  Exit status: 0 done, 1 something skipped or damaged, 2 could not start.\n",
      to);
}

} // namespace cartsift::cli
