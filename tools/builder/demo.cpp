// The demo images: one realistic volume with two backups (demo.113), a
// backup set that spans two cartridges (demo_pair, for the tests) and one of
// two drives that spans three (demo-1.113 to demo-3.113). Everything here is
// fixed text or comes from a seeded generator, so the bytes are the same on
// every build.
#include <cstdio>
#include <map>
#include <string>

#include "img_builder.h"

namespace cartsift::build {

using namespace layout;

namespace {

// DOS text files end their lines with CR LF.
std::string dos(std::string_view s) {
  std::string r;
  r.reserve(s.size() + s.size() / 32);
  for (char c : s) {
    if (c == '\n')
      r += '\r';
    r += c;
  }
  return r;
}

// The 8.3 alias Windows 95 gives a long name; a name that already fits is
// its own alias. `n` tells apart aliases that share their first six letters.
// A character beyond ASCII (a UTF-8 sequence) has no place in the alias and
// becomes '_'.
std::string alias(const std::string &long_name, int n) {
  std::string name;
  bool lossy = false;
  for (char c : long_name) {
    if (static_cast<uint8_t>(c) < 0x80)
      name += c;
    else if ((static_cast<uint8_t>(c) & 0xC0) != 0x80) {
      name += '_';
      lossy = true;
    }
  }
  size_t dot = name.rfind('.');
  std::string base = name.substr(0, dot), ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  bool fits = !lossy && base.size() <= 8 && ext.size() <= 3 &&
              name.find(' ') == std::string::npos && name.find('.') == dot;
  auto up = [](std::string s, size_t max) {
    std::string r;
    for (char c : s)
      if (c != ' ' && c != '.' && r.size() < max)
        r += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return r;
  };
  if (fits)
    return up(base, 8) + (ext.empty() ? "" : "." + up(ext, 3));
  return up(base, 6) + "~" + std::to_string(n) + (ext.empty() ? "" : "." + up(ext, 3));
}

// Builds the entries of one backup, as the standard lays them out, with
// realistic names and times: the file written once at `changed`, so created
// and modified (time 1, times 3 and 4) are that, and last accessed (time 2)
// on the day of the backup, a date without a time as FAT keeps it. Time 1
// is what the classic listing shows, and so it stays what it always was.
struct backup_list {
  uint32_t when; // time of the backup
  std::vector<entry> v;
  std::map<std::string, int> seen; // alias prefixes per directory

  void fill(entry &e, uint32_t changed) {
    std::string key;
    for (auto &p : e.path)
      key += p + "\\";
    std::string a = alias(e.name, 1);
    if (a.find('~') != std::string::npos)
      a = alias(e.name, ++seen[key + a.substr(0, 6)]);
    e.name2 = a;
    e.t1 = e.t3 = e.t4 = changed;
    e.t2 = when - when % 86400;
    e.std = std_layout{};
  }
  void drive(const std::string &d, bool last = true) {
    entry e = drive_spec(d, last);
    e.t1 = e.t2 = e.t3 = e.t4 = when;
    e.std = std_layout{};
    v.push_back(e);
  }
  void dir(const std::string &name, dir_path path, uint32_t changed) {
    entry e = dir_entry(name, std::move(path), changed);
    fill(e, changed);
    v.push_back(e);
  }
  void file(const std::string &name, dir_path path, std::string_view text, uint32_t changed,
            uint8_t attrib = A_ARCHIVE) {
    entry e = file_entry(name, std::move(path), dos(text), changed, attrib);
    fill(e, changed);
    v.push_back(e);
  }
};

// A sales table well over 50 KiB, so that extracting it shows progress dots.
std::string sales_table() {
  static const char *const regions[] = {"North", "South", "East", "West", "Central"};
  static const char *const items[] = {"QIC-80 cartridge", "3.5in diskette box", "Tape drive",
                                      "SCSI cable", "Cleaning kit", "Backup software"};
  std::string s = "Date,Region,Item,Units,Unit price,Total\n";
  uint32_t x = 19950101; // fixed seed: the table is the same on every run
  char line[128];
  for (int day = 0; day < 365; ++day) {
    for (int k = 0; k < 4; ++k) {
      x = x * 1103515245u + 12345u;
      unsigned units = 1 + (x >> 16) % 40;
      unsigned item = (x >> 8) % 6, region = (x >> 4) % 5;
      unsigned cents = 995 + 500 * item + (x >> 24) % 100;
      int month = 1 + day * 12 / 365, mday = 1 + day % 28;
      std::snprintf(line, sizeof line, "1995-%02d-%02d,%s,%s,%u,%u.%02u,%u.%02u\n", month, mday,
                    regions[region], items[item], units, cents / 100, cents % 100,
                    units * cents / 100, units * cents % 100);
      s += line;
    }
  }
  return s;
}

// Numbered lines, so that a user can see where the next cartridge took over.
std::string numbered_lines(int n, const char *how = "is split across two cartridges") {
  std::string s;
  char line[96];
  for (int i = 1; i <= n; ++i) {
    std::snprintf(line, sizeof line, "Line %04d of %04d: this file %s.\n", i, n, how);
    s += line;
  }
  return s;
}

const char *const README_1 = R"(CARTSIFT DEMO MACHINE
=====================

This PC belongs to the Hollis family. Please do not install games on
it without asking Dad first.

Backups run every Friday evening to the QIC-80 tape drive. Put the
cartridge labelled "WEEKLY" in the drive before you leave.

Folders:
  DOCS      letters, reports and recipes
  SRC       Tom's programming projects
  WINDOWS   the system (do not touch)
  GAMES     chess, with the high scores
)";

const char *const README_2 = R"(CARTSIFT DEMO MACHINE
=====================

This PC belongs to the Hollis family. Please do not install games on
it without asking Dad first.

Backups run every Friday evening to the QIC-80 tape drive. Put the
cartridge labelled "WEEKLY" in the drive before you leave. The full
backup is on the first part of the tape; the incremental backups that
follow it only hold what changed during the week.

Folders:
  DOCS      letters, reports and recipes
  SRC       Tom's programming projects
  WINDOWS   the system (do not touch)
  GAMES     chess, with the high scores
)";

const char *const LICENSE = R"(CARTDEMO SOFTWARE LICENSE

Copyright (c) 1995 Tom Hollis. All rights reserved.

You may copy this program for your own use. You may give copies to
your friends as long as you give them this file as well. You may not
sell it. There is no warranty of any kind: if it eats your homework,
you get to keep both pieces.
)";

const char *const AUNT_MARY = R"(12 Elm Street
Springfield
14 January 1996

Dear Aunt Mary,

Thank you so much for the sweater. It fits perfectly and it has been
very cold here this winter, so I wear it almost every day.

School is going well. I got an A in my computer class and we are now
learning how to write programs in C. Dad says I can use the family
computer for it if I make a backup every week.

Love,
Tom
)";

const char *const LANDLORD = R"(Hollis
12 Elm Street
Springfield
2 February 1996

Mr. R. Baxter
Baxter Properties

Dear Mr. Baxter,

The heating in the upstairs flat has failed for the third time this
winter. We reported it on 15 January and again on 26 January. Please
send someone to repair it this week.

Yours sincerely,
Anne Hollis
)";

const char *const THANK_YOU = R"(Dear Mrs. Peterson,

Thank you for lending us your tent for the camping trip. It kept us
dry through two nights of rain. We have cleaned it and will bring it
back on Saturday.

With best wishes,
The Hollis family
)";

const char *const APPLICATION = R"(Anne Hollis
12 Elm Street
Springfield
20 February 1996

Personnel Department
Springfield Public Library

Dear Sir or Madam,

I would like to apply for the post of library assistant advertised in
the Springfield Gazette of 17 February. I have worked for six years in
the records office of Springfield Hospital, where I looked after the
filing system and, since 1994, its computer catalogue.

I enclose my curriculum vitae and look forward to hearing from you.

Yours faithfully,
Anne Hollis
)";

const char *const REPLY_MARY = R"(Dear Tom,

I am so glad the sweater fits! Your uncle says that if you are good
with computers you should come and look at his, which has been making
a terrible noise since Christmas.

Love,
Aunt Mary
)";

const char *const Q1_SUMMARY = R"(SALES SUMMARY 1995
==================

Units sold            7,412
Best region           Central
Best item             QIC-80 cartridge

The full table is in SALES95.CSV, one line per order.
)";

const char *const PANCAKES = R"(PANCAKES (serves 4)

  200 g flour
  2 eggs
  300 ml milk
  a pinch of salt

Whisk everything into a smooth batter and leave it to rest for half an
hour. Fry thin pancakes in a hot pan with a little butter.
)";

const char *const CHILI = R"(CHILI CON CARNE (serves 6)

  500 g minced beef
  2 onions, 2 cloves of garlic
  1 tin of tomatoes, 1 tin of kidney beans
  chili powder, cumin, salt

Brown the onions and the meat, add everything else and simmer for an
hour. Better on the second day.
)";

const char *const AUTOEXEC = R"(@ECHO OFF
PROMPT $P$G
PATH C:\WINDOWS;C:\WINDOWS\COMMAND;C:\DOS;C:\SRC\BIN
SET TEMP=C:\WINDOWS\TEMP
SET BLASTER=A220 I5 D1 T4
LH C:\WINDOWS\COMMAND\MSCDEX.EXE /D:MSCD001
)";

const char *const CONFIG = R"(DEVICE=C:\WINDOWS\HIMEM.SYS
DEVICE=C:\WINDOWS\EMM386.EXE NOEMS
DOS=HIGH,UMB
FILES=40
BUFFERS=30
DEVICEHIGH=C:\CDROM\ATAPI.SYS /D:MSCD001
)";

const char *const MAKEFILE = R"(# cartdemo - a tiny list program
CC = gcc
CFLAGS = -O2 -Wall

cartdemo: main.o list.o
	$(CC) -o cartdemo main.o list.o

main.o: main.c list.h
list.o: list.c list.h

test: tests/t_list.c list.o
	$(CC) $(CFLAGS) -o t_list tests/t_list.c list.o && ./t_list

clean:
	rm -f *.o cartdemo t_list
)";

const char *const MAIN_C = R"(#include <stdio.h>
#include "list.h"

int main(int argc, char **argv)
{
    struct list *l = NULL;
    int i;

    for (i = 1; i < argc; i++)
        l = list_push(l, argv[i]);
    list_print(l);
    list_free(l);
    return 0;
}
)";

const char *const LIST_H = R"(#ifndef LIST_H
#define LIST_H

struct list {
    const char *text;
    struct list *next;
};

struct list *list_push(struct list *l, const char *text);
void list_print(const struct list *l);
void list_free(struct list *l);

#endif
)";

const char *const LIST_C_1 = R"(#include <stdio.h>
#include <stdlib.h>
#include "list.h"

struct list *list_push(struct list *l, const char *text)
{
    struct list *n = malloc(sizeof *n);
    n->text = text;
    n->next = l;
    return n;
}

void list_print(const struct list *l)
{
    for (; l; l = l->next)
        printf("%s\n", l->text);
}

void list_free(struct list *l)
{
    while (l) {
        struct list *n = l->next;
        free(l);
        l = n;
    }
}
)";

const char *const LIST_C_2 = R"(#include <stdio.h>
#include <stdlib.h>
#include "list.h"

/* Returns the old list when memory runs out, so nothing is lost. */
struct list *list_push(struct list *l, const char *text)
{
    struct list *n = malloc(sizeof *n);
    if (n == NULL)
        return l;
    n->text = text;
    n->next = l;
    return n;
}

void list_print(const struct list *l)
{
    int i = 1;
    for (; l; l = l->next)
        printf("%3d %s\n", i++, l->text);
}

void list_free(struct list *l)
{
    while (l) {
        struct list *n = l->next;
        free(l);
        l = n;
    }
}
)";

const char *const SRC_README = R"(cartdemo prints its arguments in reverse order, one per line.

Build it with "make", run the tests with "make test".
)";

const char *const T_LIST_C = R"(#include <assert.h>
#include "../list.h"

int main(void)
{
    struct list *l = list_push(NULL, "a");
    l = list_push(l, "b");
    assert(l->text[0] == 'b');
    assert(l->next->text[0] == 'a');
    list_free(l);
    return 0;
}
)";

const char *const WIN_INI_1 = R"([windows]
load=
run=
NullPort=None

[Desktop]
Wallpaper=(None)
TileWallpaper=0

[intl]
sCountry=United States
iCountry=1
)";

const char *const WIN_INI_2 = R"([windows]
load=
run=C:\WINDOWS\SCANDSKW.EXE /allfixeddisks /silent
NullPort=None

[Desktop]
Wallpaper=C:\WINDOWS\CLOUDS.BMP
TileWallpaper=0

[intl]
sCountry=United States
iCountry=1
)";

const char *const SYSTEM_INI = R"([boot]
shell=Explorer.exe
system.drv=system.drv
drivers=mmsystem.dll power.drv

[386Enh]
device=*vshare
)";

const char *const OPENINGS = R"(FAVOURITE OPENINGS

1. e4 e5 2. Nf3 Nc6 3. Bb5          Ruy Lopez
1. e4 c5                            Sicilian Defence
1. d4 d5 2. c4                      Queen's Gambit
1. d4 Nf6 2. c4 g6                  King's Indian Defence
)";

const char *const HISCORE = R"(HIGH SCORES
Tom      1520
Anne     1480
Dad      1210
)";

// The three-cartridge set: a translation office's machine, drive C: for
// the current work and D: for the archive.

const char *const AUTOEXEC_3 = R"(@ECHO OFF
PROMPT $P$G
PATH C:\WINDOWS;C:\WINDOWS\COMMAND
SET TEMP=C:\TEMP
LH C:\WINDOWS\COMMAND\MSCDEX.EXE /D:MSCD001
)";

const char *const CONFIG_3 = R"(DEVICE=C:\WINDOWS\HIMEM.SYS
DOS=HIGH,UMB
FILES=60
BUFFERS=30
COUNTRY=049,850,C:\WINDOWS\COMMAND\COUNTRY.SYS
)";

const char *const OVERVIEW = R"(OPEN JOBS, WEEK 48/1997
=======================

No.   Client              Pair   Pages  Due
1401  Stadtwerke Potsdam  DE-EN     12  1997-12-03
1402  Baltic Shipping     RU-DE     30  1997-12-10
1403  Kanto Machinery     JA-DE      8  1997-12-05
1404  Dr. Weiss, notary   DE-RU      4  1997-12-01

Invoices for jobs 1390 to 1400 went out on 24 November.
)";

const char *const REPORT = R"(MONTHLY REPORT, NOVEMBER 1997 - RUSSIAN DESK

Pages translated     214
New clients            3
Open jobs              2

The Baltic Shipping contract was renewed for 1998. The 1997 contract
is archived on drive D:, marked read-only.
)";

const char *const MEMO = R"(MEETING NOTES, 21 NOVEMBER 1997
Kanto Machinery, Berlin office

- manual for the KM-400 press: 180 pages, JA-DE, first part in January
- the terminology list is to be agreed before the start
- next meeting after the New Year
)";

const char *const CONTRACT = R"(CONTRACT No. 1996-09

between Baltic Shipping Ltd., St. Petersburg,
and Petrov & Lang Translations, Berlin.

1. The translator renders shipping documents from Russian into German.
2. Rate: DM 2.10 per line of 55 characters.
3. The contract runs from 1 January to 31 December 1997.

Signed in Berlin, 8 November 1996.
)";

const char *const PLAYLIST = R"(OFFICE PLAYLIST (CD changer, Friday afternoons)

1. Tchaikovsky - The Nutcracker Suite
2. Bach - Goldberg Variations
3. Joe Hisaishi - Piano Stories
4. Kraftwerk - Computer World
)";

const char *const WIN_INI_3 = R"([windows]
load=
run=
NullPort=None

[Desktop]
Wallpaper=(None)
TileWallpaper=0

[intl]
sCountry=Germany
iCountry=49
)";

const char *const D_README = R"(DRIVE D: - THE ARCHIVE

Finished jobs move here from C:\My Documents at the end of each year.
Drive D: is backed up together with drive C: every Friday evening; the
full backup now needs three cartridges.
)";

const char *const INDEX = R"(ARCHIVE INDEX

INDEX.TXT       this file
NUMBERS.TXT     numbered lines, written to check the tape set
(in Russian)    the signed contracts
(in Japanese)   minutes of the Kanto Machinery meetings
)";

const char *const MINUTES = R"(MINUTES 1996, KANTO MACHINERY

12 March    first contact at the Hanover fair
 4 June     trial translation, 10 pages, accepted
30 October  framework agreement signed
)";

const char *const BACKUP_LOG = R"(28.11.1997 18:20  full backup of C: and D: started
28.11.1997 18:20  3 cartridges expected, label them 1 of 3 to 3 of 3
)";

const char *const GLOSSARY = R"(GLOSSARY DE-RU, SHIPPING

Bordkonnossement        бортовой коносамент
Charterpartie           чартер-партия
Liegegeld               демередж
Ladehafen               порт погрузки
)";

const char *const PRICES = R"(PRICE LIST 1998

Per line of 55 characters:
  DE-EN, EN-DE          DM 1.90
  DE-RU, RU-DE          DM 2.10
  JA-DE                 DM 3.40
Certified translations: DM 25.00 per document on top.
)";

const char *const RATES = R"(RATES 1993 (from the old DOS machine)
DE-EN 1.60  DE-RU 1.80
)";

// The sizes a real volume table carries: each cartridge's segment count and
// block range, numbered on from the cartridge before, and the data bytes of
// the whole backup.
void set_sizes(const std::vector<image *> &imgs, uint64_t data) {
  uint32_t start = 0x40;
  for (image *img : imgs) {
    uint32_t nblk = img->get_u32(HDR_NBLK);
    img->put_u32(VTBL_OFFSET + VT_NSEG, nblk);
    img->put_u32(VTBL_OFFSET + VT_START, start);
    img->put_u32(VTBL_OFFSET + VT_END, start + nblk - 1);
    img->put_u64(VTBL_OFFSET + VT_DATASZ, data);
    start += nblk;
  }
}

} // namespace

// demo.113: a full backup of drive C: followed by an incremental one a week
// later. The header and dirSz point the computed catalog offset at the SECOND
// backup's catalog (the newest file set, whose catalog ends the image), so
// `cartsift demo.113 -c` lists the incremental backup's 10 entries. The first
// catalog is found with -c<offset> or by the survey (-di).
image demo_image() {
  const uint32_t full = utc(1996, 3, 15, 18, 30);
  const uint32_t incr = utc(1996, 3, 22, 18, 45);

  backup_list b1{full, {}, {}};
  b1.drive("C:");
  b1.file("AUTOEXEC.BAT", {}, AUTOEXEC, utc(1995, 11, 2, 20, 14, 6));
  b1.file("CONFIG.SYS", {}, CONFIG, utc(1995, 11, 2, 20, 11, 48));
  b1.dir("DOCS", {}, utc(1995, 9, 1, 10, 0));
  b1.file("README.TXT", "DOCS", README_1, utc(1995, 9, 1, 10, 22, 30));
  b1.file("LICENSE.TXT", "DOCS", LICENSE, utc(1995, 6, 30, 23, 59, 58), A_ARCHIVE | A_RDONLY);
  b1.dir("LETTERS", "DOCS", utc(1996, 1, 14, 16, 2));
  b1.file("Letter to Aunt Mary.txt", "DOCS\\LETTERS", AUNT_MARY, utc(1996, 1, 14, 16, 40, 12));
  b1.file("Complaint to the landlord.txt", "DOCS\\LETTERS", LANDLORD, utc(1996, 2, 2, 9, 5, 44));
  b1.file("Thank you note.txt", "DOCS\\LETTERS", THANK_YOU, utc(1995, 8, 21, 19, 30, 2));
  b1.file("Job application.txt", "DOCS\\LETTERS", APPLICATION, utc(1996, 2, 20, 22, 17, 36));
  b1.dir("REPORTS", "DOCS", utc(1996, 1, 8, 8, 30));
  b1.file("SALES95.CSV", "DOCS\\REPORTS", sales_table(), utc(1996, 1, 8, 11, 47, 20));
  b1.file("Sales summary 1995.txt", "DOCS\\REPORTS", Q1_SUMMARY, utc(1996, 1, 8, 12, 3, 10));
  b1.dir("RECIPES", "DOCS", utc(1995, 10, 3, 18, 0));
  b1.file("PANCAKES.TXT", "DOCS\\RECIPES", PANCAKES, utc(1995, 10, 3, 18, 12, 40));
  b1.file("CHILI.TXT", "DOCS\\RECIPES", CHILI, utc(1995, 12, 27, 13, 1, 16));
  b1.dir("SRC", {}, utc(1995, 5, 20, 14, 0));
  b1.dir("CARTDEMO", "SRC", utc(1995, 5, 20, 14, 5));
  b1.file("MAKEFILE", "SRC\\CARTDEMO", MAKEFILE, utc(1995, 5, 21, 10, 15, 0));
  b1.file("MAIN.C", "SRC\\CARTDEMO", MAIN_C, utc(1995, 5, 21, 10, 40, 22));
  b1.file("LIST.H", "SRC\\CARTDEMO", LIST_H, utc(1995, 5, 21, 11, 2, 54));
  b1.file("LIST.C", "SRC\\CARTDEMO", LIST_C_1, utc(1995, 5, 21, 11, 30, 8));
  b1.file("README", "SRC\\CARTDEMO", SRC_README, utc(1995, 5, 22, 9, 0, 0));
  b1.dir("TESTS", "SRC\\CARTDEMO", utc(1995, 5, 22, 9, 10));
  b1.file("T_LIST.C", "SRC\\CARTDEMO\\TESTS", T_LIST_C, utc(1995, 5, 22, 9, 25, 14));
  b1.dir("WINDOWS", {}, utc(1995, 8, 24, 12, 0));
  b1.file("WIN.INI", "WINDOWS", WIN_INI_1, utc(1996, 3, 1, 21, 4, 32));
  b1.file("SYSTEM.INI", "WINDOWS", SYSTEM_INI, utc(1995, 8, 24, 12, 31, 10));
  b1.dir("GAMES", {}, utc(1995, 12, 25, 10, 0));
  b1.dir("CHESS", "GAMES", utc(1995, 12, 25, 10, 5));
  b1.file("OPENINGS.TXT", "GAMES\\CHESS", OPENINGS, utc(1995, 12, 26, 15, 44, 0));
  b1.file("HISCORE.DAT", "GAMES\\CHESS", HISCORE, utc(1996, 3, 10, 17, 20, 50));

  backup_list b2{incr, {}, {}};
  b2.drive("C:");
  b2.dir("DOCS", {}, utc(1995, 9, 1, 10, 0));
  b2.file("README.TXT", "DOCS", README_2, utc(1996, 3, 18, 19, 12, 4));
  b2.dir("LETTERS", "DOCS", utc(1996, 3, 20, 20, 2));
  b2.file("Reply from Aunt Mary.txt", "DOCS\\LETTERS", REPLY_MARY, utc(1996, 3, 20, 20, 31, 26));
  b2.dir("SRC", {}, utc(1995, 5, 20, 14, 0));
  b2.dir("CARTDEMO", "SRC", utc(1995, 5, 20, 14, 5));
  b2.file("LIST.C", "SRC\\CARTDEMO", LIST_C_2, utc(1996, 3, 19, 22, 48, 0));
  b2.dir("WINDOWS", {}, utc(1995, 8, 24, 12, 0));
  b2.file("WIN.INI", "WINDOWS", WIN_INI_2, utc(1996, 3, 21, 8, 15, 12));

  vtbl_fields v;
  v.label = "Weekly backup of drive C:";
  v.date = full;
  v.flag = 0x20;
  v.rev_major = 1;
  v.rev_minor = 0x0b;

  image img;
  img.header(0, hdr_text(12, 1));
  img.vtbl(v);
  backup(img, b1.v);
  // The incremental backup starts on the block after the first catalog.
  img.pad_to(img.next_block());
  size_t cat2 = backup(img, b2.v);
  finish(img, cat2);

  // The sizes a real volume table carries, now that they are known.
  uint32_t nblk = img.get_u32(HDR_NBLK);
  uint64_t data = 0;
  for (auto *l : {&b1.v, &b2.v})
    for (const entry &e : *l)
      data += e.data.size();
  img.put_u32(VTBL_OFFSET + VT_NSEG, nblk);
  img.put_u32(VTBL_OFFSET + VT_START, 0x40);
  img.put_u32(VTBL_OFFSET + VT_END, 0x40 + nblk - 1);
  img.put_u64(VTBL_OFFSET + VT_DATASZ, data);
  return img;
}

// demo-1.113 and demo-2.113: one backup over two cartridges. NUMBERS.TXT
// (1600 numbered lines, about 100 KiB) starts on the first and ends on the
// second, so extracting it asks for the second image's name.
image_pair demo_pair() {
  const uint32_t when = utc(1997, 6, 30, 17, 5);
  backup_list b{when, {}, {}};
  b.drive("C:");
  b.dir("PROJECTS", {}, utc(1997, 1, 6, 9, 0));
  b.file("NOTES.TXT", "PROJECTS",
         "Meeting notes, 27 June 1997\n\n- archive the 1996 projects to tape\n"
         "- the tape set has two cartridges; label them 1 of 2 and 2 of 2\n",
         utc(1997, 6, 27, 16, 45, 30));
  b.file("TODO.TXT", "PROJECTS", "1. Order more QIC-80 cartridges\n2. Check the restore\n",
         utc(1997, 6, 28, 10, 2, 8));
  b.file("NUMBERS.TXT", "PROJECTS", numbered_lines(1600), utc(1997, 6, 29, 14, 30, 0));
  entry spanning = b.v.back();
  b.v.pop_back();

  backup_list a{when, {}, b.seen};
  a.dir("ARCHIVE", "PROJECTS", utc(1997, 6, 30, 16, 0));
  a.file("1996.TXT", "PROJECTS\\ARCHIVE", "Projects finished in 1996:\n  kitchen, garden shed\n",
         utc(1997, 6, 30, 16, 10, 4));
  a.file("1997.TXT", "PROJECTS\\ARCHIVE", "Projects started in 1997:\n  attic, new fence\n",
         utc(1997, 6, 30, 16, 12, 44));
  a.file("DONE.TXT", "PROJECTS", "All files of the set were written.\n",
         utc(1997, 6, 30, 17, 0, 0));

  vtbl_fields v;
  v.label = "Project archive, 2 cartridges";
  v.date = when;
  v.flag = 0x02; // spans cartridges; image 1 holds no catalog
  v.rev_major = 1;
  v.rev_minor = 0x0b;
  // The first cartridge ends on the first block boundary at least 40000 bytes
  // into NUMBERS.TXT; the second holds the rest.
  image_pair p = spanning_set(v, 7, b.v, spanning, a.v, 40000);
  uint64_t data = spanning.data.size();
  for (auto *l : {&b.v, &a.v})
    for (const entry &e : *l)
      data += e.data.size();
  set_sizes({&p.first, &p.second}, data);
  return p;
}

// demo-1.113 to demo-3.113: a full backup of drives C: and D: over three
// cartridges. D:\ARCHIVE\NUMBERS.TXT (5000 numbered lines, 320000 bytes)
// starts on the first, fills the whole data region of the second and ends
// on the third, which then holds the rest of D: and the catalog. The names
// in My Documents and D:\ARCHIVE are in German, Russian and Japanese, and
// one has a character beyond the 16-bit range (a surrogate pair). Four
// entries at the end show what the standard's reading of an entry adds.
std::vector<entry> demo_set_entries() {
  const uint32_t when = utc(1997, 11, 28, 18, 20);
  backup_list b{when, {}, {}};
  b.drive("C:", false);
  b.drive("D:");
  b.file("AUTOEXEC.BAT", {}, AUTOEXEC_3, utc(1997, 3, 11, 9, 2, 14));
  b.file("CONFIG.SYS", {}, CONFIG_3, utc(1997, 3, 11, 8, 57, 40));
  b.dir("My Documents", {}, utc(1997, 2, 3, 10, 15));
  b.file("Übersicht.doc", "My Documents", OVERVIEW, utc(1997, 11, 24, 17, 48, 6));
  b.file("会議メモ.txt", "My Documents", MEMO, utc(1997, 11, 21, 15, 12, 0));
  b.dir("Music", "My Documents", utc(1997, 6, 20, 16, 40));
  b.file("🎵 Playlist.txt", "My Documents\\Music", PLAYLIST, utc(1997, 10, 31, 15, 55, 18));
  const std::string translations = "Переводы";
  b.dir(translations, "My Documents", utc(1997, 3, 2, 9, 20));
  b.file("Отчёт.txt", {"My Documents", translations}, REPORT, utc(1997, 11, 27, 16, 30, 52));
  b.dir("TEMP", {}, utc(1997, 2, 1, 9, 30)); // emptied by the backup program
  b.dir("WINDOWS", {}, utc(1997, 2, 1, 9, 0));
  b.v.back().pflg |= PF_LAST; // the last root-level entry of C:
  b.file("WIN.INI", "WINDOWS", WIN_INI_3, utc(1997, 11, 3, 8, 41, 20));
  b.file("SYSTEM.INI", "WINDOWS", SYSTEM_INI, utc(1997, 2, 1, 9, 12, 44));
  b.file("BACKUP.LOG", {}, BACKUP_LOG, when); // the first of D:
  b.file("README.TXT", {}, D_README, utc(1997, 1, 5, 12, 0, 0));
  b.dir("ARCHIVE", {}, utc(1997, 1, 5, 11, 45));
  b.file("INDEX.TXT", "ARCHIVE", INDEX, utc(1997, 11, 26, 19, 10, 2));
  b.file("NUMBERS.TXT", "ARCHIVE", numbered_lines(5000, "runs across all three cartridges"),
         utc(1997, 11, 26, 19, 4, 10));
  // The read-only file comes after NUMBERS.TXT: a walk that stops there
  // leaves none behind to stop the next run.
  const std::string contracts = "Договоры";
  b.dir(contracts, "ARCHIVE", utc(1997, 1, 5, 11, 48));
  b.file("Договор 1996-09.txt", {"ARCHIVE", contracts}, CONTRACT, utc(1996, 11, 8, 10, 15, 40),
         A_RDONLY);
  const std::string meetings = "会議";
  b.dir(meetings, "ARCHIVE", utc(1997, 1, 5, 11, 50));
  b.file("議事録 1996.txt", {"ARCHIVE", meetings}, MINUTES, utc(1996, 10, 30, 18, 22, 36));

  // Last, what the standard's reading adds, each in D:\ARCHIVE. A file
  // another writer's software wrote with the NT description:
  b.file("Glossary DE-RU.txt", "ARCHIVE", GLOSSARY, utc(1997, 9, 8, 11, 5, 30));
  b.v.back().std->os = os_desc::nt;
  // one whose three dates differ (and the DOS date is the modified one):
  b.file("Price list 1998.txt", "ARCHIVE", PRICES, utc(1997, 9, 15, 9, 30, 12));
  b.v.back().t3 = b.v.back().t4 = utc(1997, 11, 25, 16, 42, 18);
  // one the backup program could not read, held open by the terminology
  // program: it wrote the bytes it got, then zeros in place of the rest;
  std::string base = "TERMBASE 2.1  DE-RU  4711 entries\n";
  base.resize(4095); // 4096 bytes with the CR that file() puts before the LF
  b.file("TERMBASE.MDB", "ARCHIVE", base, utc(1997, 11, 28, 17, 58, 2));
  b.v.back().pflg |= TF_FILE_ERROR;
  // and one with no long name: its Windows 95 description names nothing,
  // so the DOS name stands for it, and a reader of the fixed layout still
  // steps over the entry as over any other.
  b.file("RATES.TXT", "ARCHIVE", RATES, utc(1993, 4, 2, 10, 0, 0));
  b.v.back().name2 = b.v.back().name;
  b.v.back().name.clear();
  return b.v;
}

std::vector<image> demo_set() {
  const uint32_t when = utc(1997, 11, 28, 18, 20);
  std::vector<entry> all = demo_set_entries();
  size_t spanning = 0;
  while (all[spanning].name != "NUMBERS.TXT")
    spanning++;

  vtbl_fields v;
  v.label = "Full backup of C: and D:, 3 cartridges";
  v.date = when;
  v.flag = 0x02; // spans cartridges; only the last holds a catalog
  v.rev_major = 1;
  v.rev_minor = 0x0b;
  // Cartridge 1 ends on the first block boundary at least 60000 bytes into
  // NUMBERS.TXT, cartridge 2 holds five blocks of it.
  image_set s = spanning_images(v, 31, all, spanning, 3, 60000, 5);
  uint64_t data = 0;
  for (const entry &e : all)
    data += e.data.size();
  std::vector<image *> imgs;
  for (image &img : s.images)
    imgs.push_back(&img);
  set_sizes(imgs, data);
  return std::move(s.images);
}

comp_options demo_set_layout(size_t i) {
  comp_options o;
  switch (i % 3) {
  case 0: // extents run across segment boundaries
    o.spanning = true;
    break;
  case 1: // one extent a segment, 4-byte offsets
    o.offset_width = 4;
    break;
  default: // both, and the catalog inside the stream after the data
    o.spanning = true;
    o.offset_width = 4;
    o.catalog_in_stream = true;
    break;
  }
  return o;
}

} // namespace cartsift::build
