// mkseeds <dir>: the seed corpus of every fuzz target, written from the
// image builder. run_fuzz seeds (run/) carry every command over each image
// shape, everyday_fuzz seeds (everyday/) every command over each set;
// records_fuzz seeds (records/) hold single records cut out of the demo
// image and of entries with every description list; qic122_fuzz and zview_fuzz seeds are the builder's compressed frames
// and segments.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "everyday_input.h"
#include "fuzz_input.h"
#include "img_builder.h"

namespace {

using namespace cartsift::build;
using namespace cartsift::build::layout;
namespace fz = cartsift::fuzzin;

struct shape {
  std::string name;
  image img;
  uint32_t cat = 0; // for -c<cat>:<data>
};

const uint32_t T = utc(1996, 2, 29, 12, 30, 15);

std::vector<entry> small_set() {
  return {drive_spec("C:"), dir_entry("DOCS", {}, T),
          file_entry("README.TXT", "DOCS", "read me\r\n", T),
          file_entry("RO.TXT", "DOCS", "read only\r\n", T, A_ARCHIVE | A_RDONLY)};
}

// Entries as the standard lays them out, one of each description list the
// builder writes; the last one's size claims 5 GiB that the image lacks.
std::vector<entry> std_set() {
  std::vector<entry> v = {standard(drive_spec("C:")), standard(dir_entry("STD", {}, T))};
  auto add = [&](const char *name, std_layout l, uint8_t pflg = 0) {
    entry e = std_file(name, "STD", std::string(name) + "\r\n", T - 86400, T - 3600, T);
    e.name2 = "SHORT.TXT";
    e.std = std::move(l);
    e.pflg = pflg;
    v.push_back(std::move(e));
  };
  add("Windows 95.txt", {});
  add("NT.txt", {.os = os_desc::nt});
  add("OS2.txt", {.os = os_desc::os2});
  add("UNIX.txt", {.os = os_desc::unix_});
  add("No vendor.txt", {.vendor = false});
  add("DOS only", {.os = os_desc::none, .vendor = false});
  add("Extra.txt", {.extra = {{99, 0, {1, 2, 3, 4}, "extra"}}});
  add("File error.txt", {}, TF_FILE_ERROR);
  add("Huge.bin", {.size = (5ULL << 30) + 1});
  return v;
}

shape one_backup(std::string name, vtbl_fields v, std::vector<entry> es) {
  shape s{std::move(name), {}, 0};
  s.img.header(0, hdr_text(3, 1));
  s.img.vtbl(v);
  size_t cat = backup(s.img, std::move(es));
  finish(s.img, cat);
  s.cat = uint32_t(cat);
  return s;
}

std::vector<shape> shapes() {
  std::vector<shape> v;
  v.push_back({"demo", demo_image(), 0});
  {
    // The first catalog of the demo image lies on the block after its PF_END.
    shape &d = v.back();
    d.cat = uint32_t(DATA_START);
    for (size_t off = DATA_START; off + 4 <= d.img.size(); off += BLOCK_SIZE)
      if (d.img.get_u32(off) != DIR_SIG && off > DATA_START) {
        d.cat = uint32_t(off);
        break;
      }
  }
  image_pair p = demo_pair();
  v.push_back({"pair1", p.first, uint32_t(p.first.size())});
  v.push_back({"pair2", p.second, uint32_t(p.cat_off)});

  v.push_back(one_backup("small", {}, small_set()));
  vtbl_fields comp;
  comp.comp = 0x80 | 0x01;
  v.push_back(one_backup("compressed", comp, small_set()));

  // Two drives: the root-level entry after a PF_LAST moves to the next one.
  std::vector<entry> drives = {drive_spec("C:", false), drive_spec("D:", true),
                               file_entry("BOOT.INI", {}, "[boot]\r\n", T),
                               dir_entry("WORK", {}, T),
                               file_entry("A.TXT", "WORK", "a\r\n", T)};
  drives[2].pflg |= PF_LAST;
  v.push_back(one_backup("drives", {}, drives));

  // Catalog tags standing late, and odd lengths.
  std::vector<entry> pad = small_set();
  for (size_t i = 0; i < pad.size(); i++)
    pad[i].cat_tag_pad = int(i * 3);
  v.push_back(one_backup("tagpad", {}, pad));

  // Junk between entries, which the walk steps over.
  {
    shape s{"gaps", {}, 0};
    s.img.header(0, hdr_text(4, 1));
    s.img.vtbl({});
    std::vector<entry> es = small_set();
    es.back().pflg |= PF_END;
    for (const entry &e : es) {
      s.img.dir_entry(e);
      s.img.raw(std::string_view("junk\x99\x66junk", 10));
    }
    s.img.pad_to(s.img.next_block());
    size_t cat = s.img.size();
    for (const entry &e : es)
      s.img.cat_entry(e);
    s.img.cat_end();
    finish(s.img, cat);
    s.cat = uint32_t(cat);
    v.push_back(std::move(s));
  }

  v.push_back(one_backup("std", {}, std_set()));

  // A small two-image set whose second image is a continuation cartridge.
  {
    vtbl_fields vs;
    std::string big(40000, 'x');
    image_pair q = spanning_set(vs, 9, {drive_spec("C:"), dir_entry("D", {}, T)},
                                file_entry("BIG.DAT", "D", big, T),
                                {file_entry("AFTER.TXT", "D", "after\r\n", T)}, 100);
    v.push_back({"span1", q.first, uint32_t(q.first.size())});
    v.push_back({"span2", q.second, uint32_t(q.cat_off)});
  }
  return v;
}

struct set_shape {
  std::string name;
  std::vector<image> imgs;
};

std::vector<set_shape> sets() {
  std::vector<set_shape> v;
  std::vector<image> demo = demo_set();
  v.push_back({"set3", demo});
  v.push_back({"gap", {demo[0], demo[2]}}); // the middle cartridge missing
  v.push_back({"one", {demo_image()}});
  image_pair p = demo_pair();
  v.push_back({"pair", {p.first, p.second}});
  // Three small images, the cuts inside one file, for quick runs.
  std::vector<entry> es = small_set();
  es.push_back(file_entry("LONG.DAT", "DOCS", std::string(70000, 'L'), T));
  es.push_back(file_entry("AFTER.TXT", "DOCS", "after\r\n", T));
  v.push_back({"small3", split_backup({}, 5, es, {1, 1}).images});
  {
    shape std = one_backup("", {}, std_set());
    v.push_back({"std", {std.img}});
  }
  // Compressed volumes, alone and in a set beside uncompressed cartridges.
  comp_options span;
  span.spanning = true;
  span.frame_in = 2000;
  v.push_back({"zone", {compress_image(demo_image())}});
  v.push_back({"zset", {compress_image(demo[0], span), demo[1], compress_image(demo[2])}});

  // Sets small enough for runs with a short -max_len: the same entries with
  // less data, cut anywhere, no catalog, each image as long as its data.
  es[4].data.resize(600);
  es.back().pflg |= PF_END;
  image stream;
  for (const entry &e : es)
    stream.dir_entry(e);
  auto cut = [&](std::vector<size_t> at) {
    std::vector<image> imgs;
    at.insert(at.begin(), 0);
    at.push_back(stream.size());
    for (size_t k = 0; k + 1 < at.size(); k++) {
      vtbl_fields vs;
      vs.flag |= 0x02;
      vs.seq = uint8_t(k + 1);
      image &img = imgs.emplace_back();
      img.header(0, hdr_text(6, unsigned(k + 1)));
      img.vtbl(vs);
      img.raw(std::span(stream.b).subspan(at[k], at[k + 1] - at[k]));
      const auto nblk = uint32_t(img.next_block() / BLOCK_SIZE);
      img.put_u32(HDR_NBLK, nblk);
      img.put_u32(BLOCK_SIZE + HDR_NBLK, nblk);
    }
    return imgs;
  };
  const size_t in_long = stream.size() - 400, in_header = stream.size() - 120;
  std::vector<image> tiny = cut({in_long, in_header});
  v.push_back({"tiny3", tiny});
  v.push_back({"tiny2", cut({in_long})});
  v.push_back({"tinygap", {tiny[0], tiny[2]}});
  // Damage the everyday walk names: a bad last trailer, and a size that
  // claims the entries after it.
  auto alone = [&](std::vector<entry> hurt) {
    stream = image();
    for (const entry &e : hurt)
      stream.dir_entry(e);
    return cut({});
  };
  std::vector<entry> hurt = es;
  hurt.back().trailer_sig = {0, 0, 0, 0};
  v.push_back({"badlast", alone(hurt)});
  hurt = es;
  hurt[2].flen = flen_of(hurt[2]) + 300;
  v.push_back({"overstated", alone(hurt)});
  return v;
}

void save(const std::string &path, const std::vector<uint8_t> &b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
  if (!f)
    throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> control(size_t cmd, size_t answer, uint32_t cat, uint32_t doff) {
  std::vector<uint8_t> c = {uint8_t(cmd), uint8_t(answer)};
  for (uint32_t x : {cat, doff})
    for (int i = 0; i < 4; i++)
      c.push_back(uint8_t(x >> (8 * i)));
  return c;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mkseeds <dir>\n");
    return 2;
  }
  std::string dir = argv[1];
  try {
    std::filesystem::create_directories(dir + "/run");
    std::filesystem::create_directories(dir + "/records");
    std::filesystem::create_directories(dir + "/qic122");
    std::filesystem::create_directories(dir + "/zview");
    std::filesystem::create_directories(dir + "/everyday");
    for (const shape &s : shapes()) {
      std::vector<uint8_t> body = fz::compact(s.img.b);
      for (size_t c = 0; c < fz::COMMANDS.size(); c++) {
        // Answers that continue from the image itself where one is asked for.
        std::vector<uint8_t> in = control(c, c % fz::ANSWERS.size(), s.cat, DATA_START);
        in.insert(in.end(), body.begin(), body.end());
        char name[64];
        std::snprintf(name, sizeof name, "/run/%s-%02zu", s.name.c_str(), c);
        save(dir + name, in);
      }
    }
    // Tiny and truncated images go in raw.
    for (size_t n : {0, 1, 4, 0x90, 0x90 + 127}) {
      image demo = demo_image();
      std::vector<uint8_t> in = control(0, 0, 0, 0);
      in.insert(in.end(), demo.b.begin(), demo.b.begin() + long(n));
      save(dir + "/run/raw-" + std::to_string(n), in);
    }

    for (const set_shape &s : sets()) {
      std::vector<uint8_t> body;
      std::vector<size_t> lens;
      for (const image &img : s.imgs) {
        std::vector<uint8_t> c = fz::compact(img.b);
        lens.push_back(c.size());
        body.insert(body.end(), c.begin(), c.end());
      }
      for (size_t c = 0; c < fz::EVERYDAY.size(); c++)
        for (uint8_t links : {0, int(fz::PLANT_LINKS)}) {
          if (links && fz::EVERYDAY[c].size() == 1)
            continue;
          // Named in some other order too.
          std::vector<uint8_t> in = fz::ev_control(c, lens, uint8_t(c % 3 | links));
          in.insert(in.end(), body.begin(), body.end());
          char name[64];
          std::snprintf(name, sizeof name, "/everyday/%s-%02zu%s", s.name.c_str(), c,
                        links ? "-links" : "");
          save(dir + name, in);
        }
    }

    // Records: a directory entry run, the catalog, strings, headers, the
    // volume table and a signature search, each from the demo image.
    image demo = demo_image();
    const auto &b = demo.b;
    auto rec = [&](int sel, size_t from, size_t to, const std::string &name) {
      std::vector<uint8_t> in = {uint8_t(sel)};
      in.insert(in.end(), b.begin() + long(from), b.begin() + long(std::min(to, b.size())));
      save(dir + "/records/" + name, in);
    };
    size_t cat = 0;
    for (size_t off = DATA_START + BLOCK_SIZE; off + 4 <= b.size(); off += BLOCK_SIZE)
      if (demo.get_u32(off) != DIR_SIG) {
        cat = off;
        break;
      }
    rec(0, DATA_START, DATA_START + 0x3000, "dir-entries");
    rec(1, cat, cat + 0x1000, "cat-entries");
    rec(2, DATA_START + 73, DATA_START + 0x200, "strings");
    rec(3, 0, HDR_SIZE, "header0");
    rec(4, 0, HDR_SIZE, "header1");
    rec(5, VTBL_OFFSET, VTBL_OFFSET + 128, "vtbl");
    rec(6, DATA_START, DATA_START + 0x1000, "search");
    rec(7, DATA_START, DATA_START + 0x3000, "std-entries");
    rec(8, cat, cat + 0x1000, "std-catalog");
    // The same over entries with every description list.
    const shape std = one_backup("", {}, std_set());
    auto std_rec = [&](int sel, size_t from, size_t to, const std::string &name) {
      std::vector<uint8_t> in = {uint8_t(sel)};
      in.insert(in.end(), std.img.b.begin() + long(from), std.img.b.begin() + long(to));
      save(dir + "/records/" + name, in);
    };
    std_rec(7, DATA_START, std.cat, "std-variants");
    std_rec(8, std.cat, std.img.size(), "std-variants-catalog");

    // Frames: the room (16-bit little-endian, as the target reads it), then
    // the stream. Text, runs, the demo's entries; whole and cut short.
    std::string text;
    for (int i = 0; text.size() < 3000; i++)
      text += "backup " + std::to_string(i * 7919 % 1000) + (i % 5 ? " of the " : "\r\n");
    const std::vector<std::vector<uint8_t>> kinds = {
        {text.begin(), text.end()},
        std::vector<uint8_t>(600, 'a'),
        {b.begin() + long(DATA_START), b.begin() + long(DATA_START + 0x2000)}};
    for (size_t k = 0; k < kinds.size(); k++) {
      for (size_t room : {kinds[k].size(), kinds[k].size() / 2}) {
        std::vector<uint8_t> in = {uint8_t(room), uint8_t(room >> 8)};
        std::vector<uint8_t> z = lz_compress(kinds[k]);
        in.insert(in.end(), z.begin(), z.end());
        save(dir + "/qic122/frame-" + std::to_string(k) + "-" + std::to_string(room), in);
      }
    }

    // Extents: a small image compressed in each layout; its first segments'
    // heads, in the form zview_fuzz reads (count and layout, then the parts).
    for (unsigned width : {8u, 4u})
      for (bool spanning : {false, true}) {
        comp_options o;
        o.offset_width = width;
        o.spanning = spanning;
        o.frame_in = 300;
        o.extent_frames = 2;
        const image z = compress_image(demo_image(), o);
        const size_t nseg = std::min<size_t>(4, (z.b.size() - DATA_START) / BLOCK_SIZE);
        if (nseg == 0)
          continue;
        std::vector<uint8_t> in = {uint8_t((nseg - 1) | (spanning ? 4 : 0))};
        for (size_t k = 0; k < nseg; k++) {
          const auto seg = z.b.begin() + long(DATA_START + k * BLOCK_SIZE);
          in.insert(in.end(), seg, seg + 2048);
        }
        save(dir + "/zview/w" + std::to_string(width) + (spanning ? "s" : ""), in);
      }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "mkseeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
