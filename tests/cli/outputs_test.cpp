// The writing outputs run as the built binary, and what they write read back
// by other tools: checksum lines by sha256sum -c, archives by bsdtar and by
// Python's tarfile and zipfile, bags by a small validator, extended
// attributes by Python's os.getxattr.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "records/records.h"
#include "support/capture.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using testing::fmt;

// Entry bytes the standard's reading takes for a description list: data,
// Windows 95 (attributes and the dates t1 created, t2 accessed, t3
// modified), DOS (attributes, t4 modified) and vendor. The named fields the
// builder writes fall in their places.
build::entry standard(build::entry e, uint32_t created, uint32_t accessed) {
  auto put16 = [](auto &a, size_t at, uint16_t v) {
    a[at] = uint8_t(v);
    a[at + 1] = uint8_t(v >> 8);
  };
  put16(e.unknw1, 15, 7);   // data, 8-byte size at 17 (the builder's flen)
  put16(e.unknw1, 25, 0);   // no structure
  put16(e.unknw1, 27, 0);   // no name
  put16(e.unknw1, 29, 10);  // Windows 95
  put16(e.unknw1, 39, 28);  // its structure, from 41; the name is nm1
  put16(e.unknw2, 0, 2);    // DOS
  put16(e.unknw2, 10, 9);   // attributes and date from 12; the name is nm2
  put16(e.unknw3, 0, 0);    // vendor
  put16(e.unknw3, 10, 16);  // its structure from 12 ("OIMG"); the name is nm3
  e.unknw2[12] = e.attrib;
  e.t1 = created;
  e.t2 = accessed;
  return e;
}

// sh -c cmd in dir: status and standard output.
run_result sh(const std::string &cmd, const std::string &dir) {
  return run_prog("/bin/sh", {"-c", cmd}, "", dir.c_str());
}

std::string hex(const std::string &s) {
  std::string h;
  for (unsigned char c : s)
    h += fmt("%02x", c);
  return h;
}

const uint32_t T0 = build::utc(1996, 3, 15, 18, 30);

// One backup: hidden, read-only, system file with all three dates, UTF-8
// names, an empty directory, a name a file system cannot take, and a file
// the backup program could not read.
build::image sample(std::vector<build::entry> *es) {
  using build::dir_entry, build::file_entry;
  *es = {build::drive_spec("C:"),
         standard(dir_entry("DOCS", {}, T0 + 60), T0 - 86400, T0 + 7200),
         standard(file_entry("READ ME.TXT", "DOCS", "read me\r\n", T0 + 120, 0x27), T0 - 3600,
                  T0 + 3600),
         file_entry("Отчёт 会議.txt", {}, std::string(300, 'x') + "end", T0 + 180),
         dir_entry("EMPTY", {}, T0 + 240),
         file_entry("a\\b.txt", {}, "backslash", T0 + 300),
         standard(file_entry("LOCKED.DAT", {}, "half read", T0 + 360), T0, T0)};
  (*es)[6].pflg |= PF_FILE_ERROR; // the reader's own flag
  build::image img;
  img.header(0, build::hdr_text(1, 1));
  img.vtbl({});
  build::finish(img, build::backup(img, *es));
  return img;
}

// What Python reads back from an archive, a line a member: name, mode,
// DOS attributes, modification, access and creation times (- where the
// archive has none), for a ZIP its host system and UTF-8 flag, the data.
const char *const READ_BACK = R"(
import io, struct, subprocess, sys, tarfile, zipfile
p = sys.argv[1]
if p.endswith('.zst'):  # which tarfile does not read
    p = io.BytesIO(subprocess.run(['zstd', '-dc', p], capture_output=True).stdout)
if isinstance(p, str) and zipfile.is_zipfile(p):
    z = zipfile.ZipFile(p)
    for i in z.infolist():
        t, ex = {}, i.extra
        while len(ex) >= 4:
            k, n = struct.unpack('<HH', ex[:4])
            if k == 0x5455:
                v = list(struct.unpack('<%dI' % ((n - 1) // 4), ex[5:4 + n]))
                for bit, key in ((1, 'm'), (2, 'a'), (4, 'c')):
                    if ex[4] & bit: t[key] = v.pop(0)
            ex = ex[4 + n:]
        print(i.filename, oct(i.external_attr >> 16), hex(i.external_attr & 0xff), t.get('m', '-'),
              t.get('a', '-'), t.get('c', '-'), 'zip', i.create_system, i.flag_bits >> 11 & 1,
              z.read(i).hex())
else:
    t = tarfile.open(fileobj=p) if isinstance(p, io.BytesIO) else tarfile.open(p)
    for m in t:
        h = m.pax_headers
        print(m.name + '/' * m.isdir(), oct(m.mode | (0o40000 if m.isdir() else 0o100000)),
              h.get('SCHILY.xattr.user.DOSATTRIB', '-'), m.mtime, h.get('atime', '-'),
              h.get('LIBARCHIVE.creationtime', '-'), 'pax', m.uname or '-', m.gname or '-',
              t.extractfile(m).read().hex() if m.isfile() else '')
)";

TEST(Outputs, ChecksumLinesReadBySha256sum) {
  if (!CARTSIFT_HAVE_CRYPTO)
    GTEST_SKIP() << "built without libcrypto";
  temp_dir d;
  std::vector<build::entry> es;
  const std::string img = write_image(d, sample(&es), "s.113");
  // The digests the coreutils give the same bytes.
  auto sum = [](const char *prog, const build::entry &e) {
    const std::string out = run_prog(prog, {"-"}, std::string(e.data.begin(), e.data.end())).out;
    return out.substr(0, out.find(' '));
  };
  const std::string sha = "/usr/bin/sha256sum";
  const std::string want = sum(sha.c_str(), es[2]) + "  C:/DOCS/READ ME.TXT\n" +
                           sum(sha.c_str(), es[3]) + "  C:/Отчёт 会議.txt\n\\" +
                           sum(sha.c_str(), es[5]) + "  C:/a\\\\b.txt\n";
  const struct {
    std::vector<std::string> args;
    std::string out; // the first lines
  } runs[] = {
      {{"--list", "--hash=sha256"}, want},
      {{"--list", "--hash=sha256", "--keep-partial"},
       want + sum(sha.c_str(), es[6]) + "  C:/LOCKED.DAT\n# damaged: 9 of 9 bytes\n"},
      {{"--list", "--hash=md5", "--hash=sha1"},
       "MD5 (C:/DOCS/READ ME.TXT) = " + sum("/usr/bin/md5sum", es[2]) +
           "\nSHA1 (C:/DOCS/READ ME.TXT) = " + sum("/usr/bin/sha1sum", es[2]) + "\n"},
  };
  for (const auto &r : runs) {
    std::vector<std::string> args = r.args;
    args.push_back(img);
    run_output o = run_bin_err(args);
    EXPECT_EQ(o.status, 1) << args[1]; // the file error
    EXPECT_EQ(o.out.substr(0, r.out.size()), r.out) << o.err;
    EXPECT_EQ(o.out.size() == r.out.size(), r.args[1] == "--hash=sha256") << o.out;
  }
  run_output j = run_bin_err({"--list", "--json", "--hash=sha256", img});
  EXPECT_NE(j.out.find(",\"sha256\":\"" + sum(sha.c_str(), es[2]) + "\"}\n"), std::string::npos)
      << j.out;
  EXPECT_NE(j.out.find("\"path\":\"C:/LOCKED.DAT\""), std::string::npos);
  EXPECT_NE(j.out.find(",\"sha256\":null}\n"), std::string::npos) << j.out;

  // --extract --manifest: the paths below -C, each file's line from the
  // bytes as written; a path a later backup writes again keeps its last line.
  build::image two;
  two.header(0, build::hdr_text(1, 1));
  two.vtbl({});
  build::backup(two, {build::drive_spec("C:"), build::file_entry("A.TXT", {}, "first", T0),
                      build::file_entry("B.TXT", {}, "b", T0)});
  build::finish(two, build::backup(two, {build::drive_spec("C:"),
                                         build::file_entry("A.TXT", {}, "second", T0)}));
  const std::string twice = write_image(d, two, "two.113");
  const std::tuple<std::string, std::string, bool, int> extracts[] = {
      {"x", img, false, 1}, {"xk", img, true, 1}, {"x2", twice, false, 0}};
  for (const auto &[out, image, keep, status] : extracts) {
    std::vector<std::string> args = {"--extract", "-C", out, "--manifest=" + out + ".sums", image};
    if (keep)
      args.push_back("--keep-partial");
    EXPECT_EQ(run_bin_err(args, d.path.c_str()).status, status) << out;
    run_result c = sh("sha256sum -c ../" + out + ".sums", d.file(out));
    EXPECT_EQ(c.status, 0) << c.out;
    EXPECT_EQ(c.out.find("LOCKED") != std::string::npos, keep) << c.out;
  }
  EXPECT_EQ(sh("grep -c A.TXT x2.sums", d.path).out, "1\n");
}

TEST(Outputs, ArchivesReadBackByBsdtarAndPython) {
  if (!CARTSIFT_HAVE_ARCHIVE || !CARTSIFT_HAVE_CRYPTO)
    GTEST_SKIP() << "built without libarchive or libcrypto";
  temp_dir d;
  std::vector<build::entry> es;
  const std::string img = write_image(d, sample(&es), "s.113");
  // Each member as READ_BACK prints it: mode, DOS byte, three dates, data.
  // A drive is a directory, whatever its volume bit.
  struct member {
    std::string name, mode, dos, m, a, c, data;
  };
  auto when = [](uint32_t t) { return std::to_string(t); };
  const member members[] = {
      {"C_/", "0o40755", "0x10", when(es[0].t1), "-", "-", ""},
      {"C_/DOCS/", "0o40755", "0x10", when(T0 + 60), when(T0 + 7200), when(T0 - 86400), ""},
      {"C_/DOCS/READ ME.TXT", "0o100444", "0x27", when(T0 + 120), when(T0 + 3600),
       when(T0 - 3600), hex("read me\r\n")},
      {"C_/Отчёт 会議.txt", "0o100644", "0x20", when(T0 + 180), "-", "-",
       hex(std::string(300, 'x') + "end")},
      {"C_/EMPTY/", "0o40755", "0x10", when(T0 + 240), "-", "-", ""}};
  for (const char *out : {"a.zip", "a.tar", "a.tgz", "a.tar.xz", "a.tar.zst", "-z", "-p"}) {
    const std::string name = out[0] == '-' ? std::string("stdout") + out : out;
    const bool zip = name.find("zip") != std::string::npos || name == "stdout-z";
    std::vector<std::string> args = {"--convert", out[0] == '-' ? "-" : d.file(out), img};
    if (out[0] == '-')
      args.push_back(zip ? "--format=zip" : "--format=pax");
    run_output r = run_bin_err(args);
    if (out[0] == '-') {
      FILE *f = std::fopen(d.file(name).c_str(), "wb");
      std::fwrite(r.out.data(), 1, r.out.size(), f);
      std::fclose(f);
    }
    // The name a file system cannot take and the unreadable file are left out.
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_NE(r.err.find("C:/a\\\\b.txt: unsafe name, skipped"), std::string::npos) << r.err;
    std::string py, listed;
    for (const member &m : members) {
      py += m.name + " " + m.mode + " " + m.dos + " " + m.m + " " + m.a + " " + m.c + " " +
            (zip ? fmt("zip 0 %d ", m.name.find("Отчёт") != std::string::npos) : "pax - - ") +
            m.data + "\n";
      listed += m.name + "\n";
    }
    run_result p = run_prog("/usr/bin/python3", {"-c", READ_BACK, d.file(name)});
    EXPECT_EQ(p.out, py) << name;
    EXPECT_EQ(sh("bsdtar -tf " + name, d.path).out, listed) << name;
    // bsdtar takes a ZIP member's mode from its DOS attributes: read-only
    // still shows.
    EXPECT_NE(sh("bsdtar -tvf " + name, d.path).out.find("-r--r--r--  0 0      0           9 "),
              std::string::npos)
        << name;
  }

  // An archive that exists is kept; one that cannot be written is refused
  // before anything is read; with a cartridge missing the rest goes in.
  const std::vector<build::image> set = build::demo_set();
  const std::string d1 = write_image(d, set[0], "d1.113"), d3 = write_image(d, set[2], "d3.113");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } bad[] = {
      {{"--convert", d.file("a.zip"), img}, 2, ": exists, kept (--overwrite replaces it)\n"},
      {{"--convert", d.file("no/a.zip"), img}, 2, "no/a.zip: cannot write: No such file"},
      {{"--convert", d.file("a.rar"), img}, 2, "cannot tell the archive's kind from its name"},
      {{"--convert", d.file("gap.tar"), d3, d1, "--manifest=" + d.file("gap.sums")}, 1,
       "cartridge 2 of the set is missing"},
  };
  const std::string before = read_file(d.file("a.zip"));
  for (const auto &b : bad) {
    run_output r = run_bin_err(b.args);
    EXPECT_EQ(r.status, b.status) << b.args[1];
    EXPECT_NE(r.err.find(b.err), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_file(d.file("a.zip")), before);
  run_result g = sh("mkdir gap && cd gap && bsdtar -xf ../gap.tar && sha256sum -c ../gap.sums | "
                    "wc -l && find . -type f | wc -l",
                    d.path);
  EXPECT_EQ(g.out, "16\n16\n");
}

// Checks a bag as RFC 8493 asks: bagit.txt, the required bag-info.txt lines,
// Payload-Oxum against the payload, each manifest over every payload file
// and each tag manifest over the other tag files.
const char *const VALIDATE = R"(
import hashlib, os, sys
b = sys.argv[1]
def lines(n): return open(os.path.join(b, n), encoding='utf-8').read().splitlines()
assert lines('bagit.txt') == ['BagIt-Version: 1.0', 'Tag-File-Character-Encoding: UTF-8']
info = dict(l.split(': ', 1) for l in lines('bag-info.txt'))
for k in ('Bagging-Date', 'Payload-Oxum', 'Bag-Software-Agent', 'External-Description'):
    assert k in info, k
files = lambda top: {os.path.relpath(os.path.join(r, f), b) for r, _, fs in os.walk(top) for f in fs}
payload = files(os.path.join(b, 'data'))
size = sum(os.path.getsize(os.path.join(b, p)) for p in payload)
assert info['Payload-Oxum'] == '%d.%d' % (size, len(payload)), info['Payload-Oxum']
def check(man, alg, want):
    seen = set()
    for l in lines(man):
        h, p = l.split(None, 1)
        p = p.replace('%0A', '\n').replace('%0D', '\r').replace('%25', '%')
        assert hashlib.new(alg, open(os.path.join(b, p), 'rb').read()).hexdigest() == h, p
        seen.add(p)
    assert seen == want, (man, seen ^ want)
tags = {f for f in os.listdir(b) if os.path.isfile(os.path.join(b, f)) and not f.startswith('tagmanifest-')}
mans = sorted(f for f in os.listdir(b) if f.startswith(('manifest-', 'tagmanifest-')))
for m in mans:
    check(m, m.split('-')[1][:-4], tags if m.startswith('tag') else payload)
print('valid', info['Payload-Oxum'], ' '.join(mans))
)";

TEST(Outputs, BagsValidateWithFilesLostOrNot) {
  if (!CARTSIFT_HAVE_CRYPTO)
    GTEST_SKIP() << "built without libcrypto";
  temp_dir d;
  const std::vector<build::image> set = build::demo_set();
  std::vector<std::string> imgs;
  for (size_t k = 0; k < set.size(); k++)
    imgs.push_back(write_image(d, set[k], fmt("d%zu.113", k + 1)));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string valid, report;
  } runs[] = {
      // Status 1 even whole: the backup program could not read TERMBASE.MDB.
      {{"--bag", "whole", "--hash=sha256", imgs[2], imgs[0], imgs[1]}, 1,
       "valid 323028.17 manifest-sha256.txt manifest-sha512.txt tagmanifest-sha256.txt "
       "tagmanifest-sha512.txt\n",
       R"({"path":"D:/ARCHIVE/NUMBERS.TXT","type":"file","bag_path":"data/D_/ARCHIVE/NUMBERS.TXT","status":"written","bytes":320000})"},
      {{"--bag", "gap", imgs[2], imgs[0]}, 1,
       "valid 3028.16 manifest-sha512.txt tagmanifest-sha512.txt\n",
       R"({"path":"D:/ARCHIVE/NUMBERS.TXT","type":"file","bag_path":null,"status":"damaged","bytes":83057})"},
  };
  for (const auto &r : runs) {
    EXPECT_EQ(run_bin_err(r.args, d.path.c_str()).status, r.status) << r.args[1];
    EXPECT_EQ(run_prog("/usr/bin/python3", {"-c", VALIDATE, d.file(r.args[1])}).out, r.valid);
    const std::string report = read_file(d.file(r.args[1] + "/cartsift-report.jsonl"));
    EXPECT_NE(report.find(r.report + "\n"), std::string::npos) << report;
    EXPECT_NE(read_file(d.file(r.args[1] + "/bag-info.txt"))
                  .find("d1.113, cartridge 1, label \"Full backup of C: and D:, 3 cartridges\", "
                        "created 1997-11-28 18:20:00 UTC"),
              std::string::npos);
  }
  // A bag goes into a new or empty directory only.
  run_output r = run_bin_err({"--bag", d.file("gap"), imgs[0]});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("gap: not empty"), std::string::npos) << r.err;

  // --xattrs: each file and directory written gets user.DOSATTRIB.
  EXPECT_EQ(run_bin_err({"--extract", "--xattrs", "-C", d.file("x"), imgs[0], imgs[1], imgs[2]})
                .status,
            1); // TERMBASE.MDB, which the backup program could not read
  run_result x = run_prog("/usr/bin/python3",
                          {"-c",
                           "import os, sys\n"
                           "for p in sys.argv[1:]: print(os.getxattr(p, 'user.DOSATTRIB').decode())",
                           d.file("x/D_"), d.file("x/D_/ARCHIVE/Договоры/Договор 1996-09.txt"),
                           d.file("x/C_/CONFIG.SYS")});
  EXPECT_EQ(x.out, "0x10\n0x1\n0x20\n");
}

} // namespace
} // namespace cartsift
