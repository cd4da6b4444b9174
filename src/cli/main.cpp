// The everyday face's command line and dispatch.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <new>

#include "cli/cli.h"

namespace cartsift::cli {

reporter rep;

namespace {

const char *const COMMANDS[] = {"--list", "--extract", "--test", "--info", "--inflate",
                                "--convert", "--bag"};

int usage_error(const char *fmt, ...) CARTSIFT_PRINTF(1, 2);
int usage_error(const char *fmt, ...) {
  text(stderr, "cartsift: ");
  va_list ap;
  va_start(ap, fmt);
  vtextf(stderr, fmt, ap);
  va_end(ap);
  text(stderr, "\nTry 'cartsift --help' for more information.\n");
  return 2;
}

enum long_only { OPT_JSON = 256, OPT_RAW, OPT_AS_GIVEN, OPT_INCLUDE, OPT_EXCLUDE, OPT_OVERWRITE,
                 OPT_KEEP, OPT_HELP, OPT_VERSION, OPT_CONVERT, OPT_BAG, OPT_FORMAT, OPT_HASH,
                 OPT_MANIFEST, OPT_XATTRS, OPT_WINDOWS_NAMES };

// What this build leaves out, and why; --help says so too.
constexpr const char *NO_ARCHIVE = "it is built without libarchive";
constexpr const char *NO_CRYPTO = "it is built without OpenSSL's libcrypto";
constexpr const char *NO_XATTRS = "Windows files keep no user.DOSATTRIB";

// Status 2 for an option this build does not have.
int not_built(const char *opt, const char *why) {
  return usage_error("this build of cartsift has no %s: %s", opt, why);
}

// What the options of the writing commands ask, checked once they are all
// read; 0, or the status to end with.
int check_outputs(options &o) {
  const bool list = o.cmd == command::list, extract = o.cmd == command::extract,
             convert = o.cmd == command::convert, bag = o.cmd == command::bag;
  if (!o.manifest.empty() && !extract && !convert)
    return usage_error("--manifest goes with --extract and --convert");
  if (!o.hashes.empty() && !list && !bag && o.manifest.empty())
    return usage_error("--hash goes with --list, --bag, and --manifest of --extract and "
                       "--convert");
  if (!o.manifest.empty() && o.hashes.empty())
    o.hashes.push_back(hash_alg::sha256);
  if (list && !o.hashes.empty() && o.verbose)
    return usage_error("--list --hash writes checksum lines; -v does not go with it");
  if (o.to_stdout && !o.manifest.empty())
    return usage_error("--manifest lists files written below -C; -O writes none");
  if (o.xattrs && (!(extract || bag) || o.to_stdout))
    return usage_error("--xattrs goes with --extract below a directory and --bag");
  // The Windows build has it on whatever the command.
  if (o.windows_names && !WINDOWS_BUILD && (!(extract || bag) || o.to_stdout))
    return usage_error("--windows-names goes with --extract below a directory and --bag");
  if (o.format != arc_format::none && !convert)
    return usage_error("--format goes with --convert");
  if ((convert || bag) && (o.out.empty() || o.dir_given || o.to_stdout))
    return usage_error(convert ? "--convert takes OUT, not -C or -O"
                               : "--bag takes DIR, not -C or -O");
  if (bag && o.overwrite)
    return usage_error("--bag makes a new bag: DIR must not exist, or be empty");
  return 0;
}

// 0 when the options read, else the status to end with.
int parse(int argc, char **argv, options &o) {
  static const long_opt longs[] = {
      {"list", false, 'l'},
      {"extract", false, 'x'},
      {"test", false, 't'},
      {"info", false, 'i'},
      {"inflate", false, 'z'},
      {"verbose", false, 'v'},
      {"quiet", false, 'q'},
      {"directory", true, 'C'},
      {"to-stdout", false, 'O'},
      {"json", false, OPT_JSON},
      {"raw-names", false, OPT_RAW},
      {"as-given", false, OPT_AS_GIVEN},
      {"include", true, OPT_INCLUDE},
      {"exclude", true, OPT_EXCLUDE},
      {"overwrite", false, OPT_OVERWRITE},
      {"keep-partial", false, OPT_KEEP},
      {"convert", true, OPT_CONVERT},
      {"bag", true, OPT_BAG},
      {"format", true, OPT_FORMAT},
      {"hash", true, OPT_HASH},
      {"manifest", true, OPT_MANIFEST},
      {"xattrs", false, OPT_XATTRS},
      {"windows-names", false, OPT_WINDOWS_NAMES},
      {"help", false, OPT_HELP},
      {"version", false, OPT_VERSION},
      {nullptr, false, 0}};
  opt_scan scan(argc, argv, ":vqC:O", longs);
  auto set_cmd = [&](command c) {
    if (o.cmd != command::none && o.cmd != c)
      return false;
    o.cmd = c;
    return true;
  };
  for (;;) {
    int c = scan.next();
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
        return usage_error("only one of --list, --extract, --test, --info, --inflate, --convert "
                           "and --bag at a time");
      break;
    }
    case OPT_CONVERT:
    case OPT_BAG:
      if (c == OPT_CONVERT && !CARTSIFT_HAVE_ARCHIVE)
        return not_built("--convert", NO_ARCHIVE);
      if (c == OPT_BAG && !CARTSIFT_HAVE_CRYPTO)
        return not_built("--bag", NO_CRYPTO);
      if (!set_cmd(c == OPT_CONVERT ? command::convert : command::bag))
        return usage_error("only one of --list, --extract, --test, --info, --inflate, --convert "
                           "and --bag at a time");
      o.out = scan.arg;
      if (o.out.empty())
        return usage_error("%s needs a name", c == OPT_CONVERT ? "--convert" : "--bag");
      break;
    case OPT_FORMAT:
      if (std::strcmp(scan.arg, "zip") == 0)
        o.format = arc_format::zip;
      else if (std::strcmp(scan.arg, "pax") == 0)
        o.format = arc_format::pax;
      else
        return usage_error("unknown --format '%s': zip or pax", scan.arg);
      break;
    case OPT_HASH: {
      if (!CARTSIFT_HAVE_CRYPTO)
        return not_built("--hash", NO_CRYPTO);
      hash_alg a;
      if (!parse_hash(scan.arg, &a))
        return usage_error("unknown --hash '%s': sha256, sha512, sha1 or md5", scan.arg);
      if (std::find(o.hashes.begin(), o.hashes.end(), a) == o.hashes.end())
        o.hashes.push_back(a);
      break;
    }
    case OPT_MANIFEST:
      if (!CARTSIFT_HAVE_CRYPTO)
        return not_built("--manifest", NO_CRYPTO);
      o.manifest = scan.arg;
      if (o.manifest.empty())
        return usage_error("--manifest needs a file name");
      break;
    case OPT_XATTRS:
      if (WINDOWS_BUILD)
        return not_built("--xattrs", NO_XATTRS);
      o.xattrs = true;
      break;
    case OPT_WINDOWS_NAMES: o.windows_names = true; break;
    case 'v': o.verbose = true; break;
    case 'q': o.quiet = true; break;
    case 'C':
      o.dir = scan.arg;
      o.dir_given = true;
      break;
    case 'O': o.to_stdout = true; break;
    case OPT_JSON: o.json = true; break;
    case OPT_RAW: o.raw_names = true; break;
    case OPT_AS_GIVEN: o.as_given = true; break;
    case OPT_INCLUDE: o.include.emplace_back(scan.arg); break;
    case OPT_EXCLUDE: o.exclude.emplace_back(scan.arg); break;
    case OPT_OVERWRITE: o.overwrite = true; break;
    case OPT_KEEP: o.keep_partial = true; break;
    case OPT_HELP:
      help(stdout);
      return -1;
    case OPT_VERSION:
      textf(stdout, "cartsift version %s\n", CARTSIFT_VERSION);
      return -1;
    case ':':
      return usage_error("option '%s' needs a value", scan.bad.c_str());
    default:
      return usage_error("unknown option '%s'", scan.bad.c_str());
    }
  }
  o.images = std::move(scan.operands);
  if (o.cmd == command::none)
    return usage_error("give one of --list, --extract, --test, --info, --inflate, --convert and "
                       "--bag");
  if (o.images.empty())
    return usage_error("no image given");
  if (o.dir.empty())
    return usage_error("an empty output directory");
  if (o.cmd == command::inflate) {
    if (!o.include.empty() || !o.exclude.empty() || o.to_stdout || o.keep_partial || o.json ||
        !o.hashes.empty() || !o.manifest.empty() || o.xattrs || o.format != arc_format::none ||
        (o.windows_names && !WINDOWS_BUILD))
      return usage_error("--inflate takes -C, --overwrite, -v and -q");
    return 0;
  }
  const bool writes = o.cmd == command::extract || o.cmd == command::convert ||
                      o.cmd == command::bag;
  if (!writes && (!o.include.empty() || !o.exclude.empty() || o.overwrite || o.to_stdout ||
                  o.dir_given || (o.keep_partial && !(o.cmd == command::list && !o.hashes.empty()))))
    return usage_error("--include, --exclude, --overwrite, -O, -C and --keep-partial go with "
                       "--extract, --convert and --bag");
  if (o.json && writes)
    return usage_error("--json goes with --list, --test and --info");
  return check_outputs(o);
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
#if CARTSIFT_HAVE_ARCHIVE
  if (o.cmd == command::convert)
    return do_convert(o);
#endif
#if CARTSIFT_HAVE_CRYPTO
  if (o.cmd == command::bag)
    return do_bag(o);
#endif
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
  case command::convert:
  case command::bag:
  case command::none:
    break;
  }
  return 2;
}

} // namespace

bool wanted(int argc, char **argv) {
  for (int i = 1; i < argc; i++)
    for (const char *c : COMMANDS) {
      const size_t n = std::strlen(c);
      // --convert=OUT and --bag=DIR too, the two that take a value
      if (std::strncmp(argv[i], c, n) == 0 &&
          (argv[i][n] == 0 || (argv[i][n] == '=' && (c[2] == 'c' || c[2] == 'b'))))
        return true;
    }
  return false;
}

int everyday_main(int argc, char **argv) {
  // The record readers speak the classic face's lines through out(); here
  // those go nowhere, and this face says what it found in its own words.
  FILE *sink = std::fopen(platform::null_device(), "w");
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
    text(stderr, "cartsift: cannot read the image position\n");
    status = rep.wrote ? 1 : 2;
  } catch (const std::bad_alloc &) {
    text(stderr, "cartsift: out of memory\n");
    status = rep.wrote ? 1 : 2;
  }
  // Once files are written, a broken listing of them (-v) is one more
  // failure, not a run that did nothing.
  if (std::fflush(stdout) != 0 && status < 2) {
    text(stderr, "cartsift: cannot write standard output\n");
    status = rep.wrote ? 1 : 2;
  }
  if (prev) {
    out_stream(prev);
    std::fclose(sink);
  }
  return status;
}

void help(FILE *to) {
  text(to,
      "cartsift examines and recovers QIC-113 backup images (*.113 files).\n"
      "\n"
      "The everyday interface: whole sets, UTF-8 names, plain and JSON listings\n"
      "usage: cartsift --list|--extract|--test|--info [OPTION...] IMAGE [IMAGE...]\n"
      "       cartsift --convert OUT | --bag DIR [OPTION...] IMAGE [IMAGE...]\n"
      "       cartsift --inflate [-C DIR] IN OUT | IMAGE...\n"
      "  The images of a multi-cartridge set may be given in any order.\n"
      "  --list             one archive path per entry (C:/DOCS/README.TXT)\n"
      "  --extract          write the files below the output directory\n"
      "  --test             read every entry and all data, report every problem\n"
      "  --info             describe each image and the set\n"
      "  --inflate IN OUT   write a compressed image's uncompressed twin, which the\n"
      "                     classic interface reads (-C DIR: one per image, same name)\n"
      "  --convert OUT      write the entries into one archive, its kind from OUT's\n"
      "                     name: .zip, .tar, .tar.gz, .tgz, .tar.xz, .tar.zst\n"
      "                     (- : standard output, pax)\n"
      "  --bag DIR          make a BagIt bag in DIR (new or empty): the files below\n"
      "                     DIR/data, manifests, bag-info.txt and a report\n"
      "  --format=zip|pax   --convert: the archive's kind, whatever OUT's name\n"
      "  --hash=ALG         sha256, sha512, sha1 or md5 (repeatable): --list writes\n"
      "                     checksum lines, --bag one more manifest\n"
      "  --manifest=FILE    --extract, --convert: checksum lines of the files written\n"
      "  --xattrs           --extract, --bag: DOS attributes as user.DOSATTRIB too\n"
      "  --windows-names    --extract, --bag: names a Windows file system can hold\n"
      "                     (always so in the Windows build)\n"
      "  -v, --verbose      --list: attributes, size, time; --extract: each path\n"
      "  --json             --list, --test, --info: JSON Lines\n"
      "  -C, --directory=DIR  extract below DIR (made when missing)\n"
      "  --include=GLOB     write only matching paths (repeatable)\n"
      "  --exclude=GLOB     leave matching paths out (repeatable)\n"
      "  --overwrite        replace existing files (kept by default)\n"
      "  -O, --to-stdout    write the selected files' data to standard output\n"
      "  --keep-partial     keep what was recovered of a damaged file\n"
      "  --raw-names        names as the low byte of each character\n"
      "  --as-given         the set in the order given, not by sequence number\n"
      "  -q, --quiet        no progress line\n");
  if (!CARTSIFT_HAVE_ARCHIVE)
    text(to, "  Not in this build: --convert, made without libarchive.\n");
  if (!CARTSIFT_HAVE_CRYPTO)
    text(to, "  Not in this build: --bag, --hash and --manifest, made without libcrypto.\n");
  if (WINDOWS_BUILD)
    text(to, "  Not in this build: --xattrs, as Windows files keep no user.DOSATTRIB.\n");
  text(to, "  Exit status: 0 done, 1 something skipped or damaged, 2 could not start.\n");
}

} // namespace cartsift::cli
