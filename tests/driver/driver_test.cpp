// Whole runs of the tool: the banner and usage, the option scan, the volume
// summary, the raw-data and survey commands and the run dispatch, with their
// exact output and status.
#include <gtest/gtest.h>

#include "img_builder.h"
#include "support/capture.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;

using testing::fmt;

const std::string BANNER = "\ncartsift version 0.98 compiled for " CARTSIFT_TARGET " \n";
const uint32_t T = build::utc(1996, 5, 4, 3, 2, 1);

const std::string VTBL_TEXT_HEAD = "\nLabel: cartsift demo  \nVTBL volume contains 0 logical segments"
                                   "\ncreated: Thu Jan  1 00:00:00 1970\n"
                                   "\nflag 0x20:\nFile Set Directory follow data section"
                                   "\nversion: 1:0";

struct small_image {
  build::image bi;
  size_t cat = 0;
  std::vector<size_t> offs;
  explicit small_image(build::vtbl_fields vs = {}) {
    bi.header(0, build::hdr_text(12, 3));
    bi.vtbl(vs);
    cat = build::backup(bi,
                        {build::drive_spec("C:"), build::dir_entry("DOCS", {}, T),
                         build::file_entry("README.TXT", "DOCS", "hello\r\n", T),
                         build::file_entry("NOTE.TXT", {}, "note", T, 0x21)},
                        &offs);
    build::finish(bi, cat);
  }
  // The volume summary as printed for the default volume table.
  std::string summary(const std::string &path) const {
    uint32_t dirsz = bi.get_u32(L::VTBL_OFFSET + L::VT_DIRSZ);
    uint32_t nblk = bi.get_u32(L::HDR_NBLK);
    int dblk = int((dirsz + L::BLOCK_SIZE - 1) / L::BLOCK_SIZE);
    return BANNER + "\n using:file " + path + VTBL_TEXT_HEAD +
           fmt("\ndir size 0x%lx data size 0x0", (unsigned long)dirsz) +
           "\nQFA physical start block 0x0 end block 0x0"
           "\ncompression byte 0x0\nOS type: d => Windows 95\n" +
           fmt("\ntotal block count %ld - %d dir blocks => catalog at offset 0x%lx", (long)nblk,
               dblk, (unsigned long)cat) +
           fmt("\noffset to end of file = 0x%lx => %ld blocks", (unsigned long)bi.size(),
               (long)(bi.size() / L::BLOCK_SIZE)) +
           "\nJob 12, Disk 3";
  }
};

TEST(Driver, UsageWithoutAnImage) {
  auto r = run_main({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            BANNER +
                "\nusage: cartsift <input file> [-c[#[:#]]] [-d] [-f] [-p<path>] [-v[v]] [-t] [-x]\n"
                "attempts to summarize or extract backup file contents\n"
                "\noptional -c[cat_off[:data_off]] display catalog from uncompressed file"
                "\n      use cat_off if multiple catalogs and/or ':data_off' to map to data region"
                "\noptional -f temporarily force compression & seq  flag to 0"
                "\noptional -p set xtract <path>, so only extract files at or below <path>"
                "\noptional -t save dir_list and run tests"
                "\noptional -v set verbose mode to display more fields"
                "\noptional -vv set very verbose display independently from -v"
                "\noptional -x[#] set xtract flag, => all files unless set -p or max extract #"
                "\nDEBUG options enabled"
                "\n -dd<hex offset>  - attempt raw data listing or extraction starting at offset"
                "\n -di  - scan raw dir_head and cat_head entries and summarize image data\n");
}

TEST(Driver, HelpAndVersionAlone) {
  auto r = run_main({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, run_main({}).out);
  r = run_main({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "cartsift version 0.98\n");
  // With other arguments they are image names like any other.
  r = run_main({"--help", "-v"});
  EXPECT_EQ(r.status, -1);
}

TEST(Driver, VolumeSummaryAlone) {
  temp_dir d;
  small_image s;
  auto p = write_image(d, s.bi, "a.113");
  auto r = run_main({p});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, s.summary(p) + "\n");
  // Options that change nothing visible leave the summary as it is.
  EXPECT_EQ(run_main({p, "-V", "-VV", "-foo", "-h12x", "-zzz"}).out,
            s.summary(p).insert(BANNER.size(), "\ndbcnt set to 12") + "\n");
}

TEST(Driver, OpenHeaderAndVolumeTableFailures) {
  temp_dir d;
  auto r = run_main({d.file("missing.113")});
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.out, BANNER + "\n using:file " + d.file("missing.113") + "open failed\n\n");
  // A directory is not an image.
  r = run_main({d.path});
  EXPECT_EQ(r.status, -1);

  small_image s;
  auto bad = s.bi;
  bad.b[0] = 0x00;
  auto p = write_image(d, bad, "bad.113");
  r = run_main({p});
  EXPECT_EQ(r.status, -2);
  EXPECT_EQ(r.out, BANNER + "\n using:file " + p +
                       "\ninvalid header signature 0xaa55aa00 != 0xAA55AA55"
                       "\nget_fheader() failed\n");
  // Forced, the survey still runs and ends the process with 1.
  r = run_main({p, "-f", "-di"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\n\nImage data:"), std::string::npos);
  EXPECT_TRUE(r.out.ends_with("\ndebug routine called and terminated execution\n\n"));

  build::image tiny;
  tiny.raw(std::string_view("short"));
  p = write_image(d, tiny, "tiny.113");
  r = run_main({p});
  EXPECT_EQ(r.status, -2);
  EXPECT_EQ(r.out, BANNER + "\n using:file " + p +
                       "\nonly read 0x5 bytes of 0x90 byte header\nget_fheader() failed\n");

  auto novt = s.bi;
  novt.b[L::VTBL_OFFSET] = 'X';
  p = write_image(d, novt, "novt.113");
  r = run_main({p});
  EXPECT_EQ(r.status, -3);
  EXPECT_EQ(r.out, BANNER + "\n using:file " + p +
                       "\nmissing 'VTBL' tag, invalid record at offset 0xe800 "
                       "\nget_vtbl() failed\n");
}

TEST(Driver, CatalogOffsetOptionsAndDirectoryBlocks) {
  temp_dir d;
  small_image s;
  auto p = write_image(d, s.bi, "a.113");
  auto r = run_main({p, "-c1000:2000"});
  EXPECT_NE(r.out.find("\n   however catalog offset set manually via -c# to 0x1000"),
            std::string::npos);
  // The header block holds zeros at 0x1000: an end marker at once.
  EXPECT_TRUE(r.out.ends_with("\nCatalog listing:\nappears to be end of Catalog with an empty "
                              "name string at 0x1000\n\n"))
      << r.out;
  EXPECT_EQ(r.status, 0);
  r = run_main({p, "-cZZ"}); // unreadable: the computed offset is used
  EXPECT_EQ(r.out.find("however"), std::string::npos);
  EXPECT_NE(r.out.find(fmt("\nCatalog listing:\n  1: Directory entry at offset 0x%lx",
                           (unsigned long)s.cat)),
            std::string::npos);
  r = run_main({p, "-c:15c00"}); // only the data offset
  EXPECT_EQ(r.out.find("however"), std::string::npos);
  EXPECT_NE(r.out.find("    data region at 0x15c00"), std::string::npos);

  for (auto [dirsz, blocks] : {std::pair{0u, 0}, {0x7400u, 1}, {0x7401u, 2}}) {
    auto b = s.bi;
    b.put_u32(L::VTBL_OFFSET + L::VT_DIRSZ, dirsz);
    auto q = write_image(d, b, "dir.113");
    uint32_t nblk = b.get_u32(L::HDR_NBLK);
    r = run_main({q});
    EXPECT_NE(r.out.find(fmt(" - %d dir blocks => catalog at offset 0x%lx", blocks,
                             (unsigned long)((nblk - blocks) * L::BLOCK_SIZE))),
              std::string::npos)
        << dirsz;
    if (blocks == 0) {
      EXPECT_EQ(r.out.find("Warning catalog after EOF"), std::string::npos);
    }
  }
  auto far = s.bi;
  far.put_u32(L::HDR_NBLK, 1000);
  p = write_image(d, far, "far.113");
  r = run_main({p});
  EXPECT_NE(r.out.find(" blocks - Warning catalog after EOF\nJob 12, Disk 3\n"),
            std::string::npos);
  EXPECT_EQ(r.status, 0);
}

TEST(Driver, RawListingCommands) {
  temp_dir d;
  small_image s;
  auto p = write_image(d, s.bi, "a.113");
  const std::string tail_ok = "\nparse_ucomp() at offset 0x15c00 returned 4"
                              "\ndebug routine called and terminated execution\n\n";
  auto r = run_main({p, "-dd-1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find(s.summary(p) + "\nfound 1st directory entry at offset 0x15c00"
                                      "\nBackup File listing:"),
            std::string::npos);
  EXPECT_TRUE(r.out.ends_with("\nTerminate: saw PF_END flag in this record" + tail_ok));
  EXPECT_EQ(run_main({p, "-DD15C00"}).out, run_main({p, "-dd15c00"}).out);
  EXPECT_TRUE(run_main({p, "-dd15c00"}).out.ends_with(tail_ok));

  r = run_main({p, "-ddzz"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.ends_with("\nfailed to parse offset in -ddzz, cmd ignored"
                              "\ndebug routine called and terminated execution\n\n"));
  r = run_main({p, "-dd"});
  EXPECT_TRUE(r.out.ends_with("\nfailed to parse offset in -dd, cmd ignored"
                              "\ndebug routine called and terminated execution\n\n"));
  r = run_main({p, "-di", "-dd100"}); // only the first command runs
  EXPECT_EQ(r.out.find("Backup File listing"), std::string::npos);
  EXPECT_NE(r.out.find("\neof for this image at"), std::string::npos);

  // No entry anywhere: the failed search, then the text read as hex (-1).
  build::image none;
  none.header(0, build::hdr_text(1, 1));
  none.vtbl({});
  none.pad_to(0x20000);
  build::finish(none, 0x1D000);
  p = write_image(d, none, "none.113");
  r = run_main({p, "-dd-1"});
  EXPECT_TRUE(r.out.ends_with("\ndid not find a valid DIR_SIG in image file"
                              "\nfailed to seek to 0xffffffff for start of data"
                              "\nparse_ucomp() at offset 0xffffffff returned -1"
                              "\ndebug routine called and terminated execution\n\n"))
      << r.out;
}

TEST(Driver, StandAloneRawMode) {
  temp_dir d;
  small_image s;
  auto p = write_image(d, s.bi, "a.113");
  // -dd0 walks from offset 0, where there is a file header, not an entry.
  auto r = run_main({p, "-v", "-dd0", "-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, BANNER + "\nBackup File listing:\ninvalid header"
                            "\nwarning 'OIMG' not found in dheader\nread error in get_dheader() "
                            "following offset 0x0"
                            "\nparse_ucomp() at offset 0x0 returned -1"
                            "\ndisplay raw file data called as stand alone routine\n\n");
  r = run_main({p, "-dc0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, BANNER + "\ndisplay raw file data called as stand alone routine\n\n");
  r = run_main({p, "-dc0", "-dd15c00"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\nparse_ucomp() at offset 0x15c00 returned 4"), std::string::npos);
  r = run_main({d.file("nope.113"), "-v", "-x", "-dC0"});
  EXPECT_EQ(r.status, 4); // the position of the argument that started the mode
  EXPECT_EQ(r.out, BANNER + "open failed source file " + d.file("nope.113") + "\n");
}

TEST(Driver, CompressedVolume) {
  temp_dir d;
  build::vtbl_fields vs;
  vs.comp = 0x85;
  small_image s(vs);
  auto p = write_image(d, s.bi, "c.113");
  auto r = run_main({p, "-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.ends_with("\nJob 12, Disk 3\nthis is a compressed volume, it must be "
                              "decompressed before attempting current options\n"));
  r = run_main({p, "-v", "-dd-1", "-di"}); // commands do nothing, no refusal
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.ends_with("\nJob 12, Disk 3\n"));
  r = run_main({p, "-f", "-x"}); // force does not lift the refusal
  EXPECT_TRUE(r.out.ends_with("current options\n"));
}

TEST(Driver, ContinuationCartridgePrompt) {
  temp_dir d;
  build::vtbl_fields vs;
  vs.flag = 0x22;
  vs.seq = 2;
  small_image s(vs);
  auto p = write_image(d, s.bi, "c2.113");
  const std::string prompt = "\nVolume spans multiple cartidges and is sequence # 2"
                             "\npress 'q' to quit"
                             "\nany other key to attempt a raw search from beginning for "
                             "files in this image file";
  auto r = run_main({p}, "q");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.ends_with("\nJob 12, Disk 3" + prompt)) << r.out;

  const std::string walked = prompt + "\nfound signature 0x33cc33cc at offset 0x15c00 as next "
                                      "file in data region"
                                      "\nat least one file will be skipped with this method"
                                      "\nBackup File listing:";
  for (auto [input, no_stdin] : {std::pair{"x", false}, {"", true}}) {
    r = run_main({p}, input, no_stdin);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find(walked), std::string::npos);
    EXPECT_TRUE(r.out.ends_with("\nTerminate: saw PF_END flag in this record\n"));
  }
  r = run_main({p, "-t"}, "y"); // the walk saved its entries: test 1 runs
  EXPECT_NE(r.out.find(" dlist != NULL\ncheck matching bytes between all entries for File "
                       "archive entries\n 2: matches "),
            std::string::npos);
  r = run_main({p, "-f"}, "q"); // forced: no prompt at all
  EXPECT_EQ(r.out.find("press 'q'"), std::string::npos);
  EXPECT_EQ(r.status, 0);
}

TEST(Driver, CatalogWithFieldTestAndStatuses) {
  temp_dir d;
  small_image s;
  auto p = write_image(d, s.bi, "a.113");
  auto r = run_main({p, "-c", "-t2"});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.out.find(" clist != NULL\ncheck matching bytes between all entries for catalog "
                       "entries:\n 2: matches "),
            std::string::npos);
  EXPECT_NE(r.out.find(" possible unknwn? bytes\n"), std::string::npos);
  r = run_main({p, "-c"});
  EXPECT_EQ(r.out.find("clist"), std::string::npos);
  r = run_main({p, "-t"}); // nothing walked, nothing saved: no test
  EXPECT_EQ(r.out, s.summary(p) + "\n");
  r = run_main({p, "-c", "-t9"});
  EXPECT_TRUE(r.out.ends_with(" clist != NULL\n"));
  // A catalog listing that fails gives its negative result as the status.
  r = run_main({p, "-cfffffff"});
  EXPECT_EQ(r.status, -1);
  EXPECT_TRUE(r.out.ends_with("\nCatalog listing:\nread error\n"));
}

TEST(Driver, RealBinaryStatusAndPipe) {
  temp_dir d;
  small_image s;
  auto p = write_image(d, s.bi, "a.113");
  auto r = run_bin({p, "-dd-1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, run_main({p, "-dd-1"}).out);
  EXPECT_EQ(run_bin({d.file("none.113")}).status, 255); // -1
}

} // namespace
} // namespace cartsift
