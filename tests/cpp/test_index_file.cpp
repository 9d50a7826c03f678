// .ldx reading and writing: layout, hostile headers, and how a save meets the
// file system (replacement, links, modes, devices, failures).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "format/index_file.hpp"
#include "sanitizers.hpp"

namespace lodex {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// The rows of a parsed or loaded .ldx file (its parameters are the store's).
Result<Storage> rows_of(Result<StoredIndex> r) {
  if (!r) return std::unexpected(std::move(r.error()));
  return std::move(r->storage);
}
Result<Storage> parse_rows(std::span<const uint8_t> f) { return rows_of(parse_index_file(f)); }
Result<Storage> load_rows(const std::string& path, const StopOnSignal& stop = {}) {
  return rows_of(load_index_file(path, stop));
}

Storage make_storage(uint64_t dim, uint8_t bits, bool use_qjl, size_t rows, uint64_t seed = 42) {
  Storage s(dim, seed, bits, use_qjl);
  std::mt19937_64 rng(seed);
  Bytes codes(s.code_bytes()), qjl(s.qjl_bytes());
  for (size_t i = 0; i < rows; ++i) {
    for (auto& b : codes) b = static_cast<uint8_t>(rng());
    for (auto& b : qjl) b = static_cast<uint8_t>(rng());
    // Finite bfloat16 norms only: NaNs have their own test.
    s.push(rng(), static_cast<uint16_t>(rng() % 0x7F80), codes, qjl);
  }
  return s;
}

// A row's QJL bits as every reader must see them: a QJL index may hold a row
// without a buffer, which stands for qjl_bytes zero bytes.
Bytes qjl_of(const Storage& s, size_t row) {
  if (!s.use_qjl()) return {};
  const auto bits = s.qjl_bits(row);
  return bits ? Bytes(bits->begin(), bits->end()) : Bytes(s.qjl_bytes(), 0);
}

void expect_same_rows(const Storage& a, const Storage& b) {
  ASSERT_EQ(a.dim(), b.dim());
  ASSERT_EQ(a.bits(), b.bits());
  ASSERT_EQ(a.use_qjl(), b.use_qjl());
  ASSERT_EQ(a.seed(), b.seed());
  ASSERT_EQ(a.len(), b.len());
  Bytes ca(a.code_bytes()), cb(b.code_bytes());
  for (size_t i = 0; i < a.len(); ++i) {
    ASSERT_EQ(a.id(i), b.id(i)) << i;
    ASSERT_EQ(a.norm_bits(i), b.norm_bits(i)) << i;
    a.copy_codes(i, ca);
    b.copy_codes(i, cb);
    ASSERT_EQ(ca, cb) << i;
    ASSERT_EQ(qjl_of(a, i), qjl_of(b, i)) << i;
  }
}

// Everything a load gives, as text: the error's kind and text, or the
// parameters and every row. Two ways of reading the same bytes must agree.
std::string outcome(const Result<Storage>& r) {
  std::ostringstream out;
  if (!r) {
    out << "error " << static_cast<int>(r.error().kind()) << ": " << r.error().text();
    return out.str();
  }
  out << r->dim() << "/" << int{r->bits()} << "/" << r->use_qjl() << "/" << r->seed() << " rows:";
  Bytes code(r->code_bytes());
  for (size_t i = 0; i < r->len(); ++i) {
    r->copy_codes(i, code);
    out << " " << r->id(i) << "," << r->norm_bits(i) << ",";
    for (uint8_t b : code) out << int{b} << ".";
    out << ",";
    for (uint8_t b : qjl_of(*r, i)) out << int{b} << ".";
  }
  return out.str();
}

Bytes read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const fs::path& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

uint64_t get_u64(const Bytes& f, size_t at) {
  uint64_t v = 0;
  for (size_t k = 0; k < 8; ++k) v |= uint64_t{f[at + k]} << (8 * k);
  return v;
}

void set_le(Bytes& f, size_t at, uint64_t v, size_t width) {
  for (size_t k = 0; k < width; ++k) f[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

// The address space this process has mapped, from /proc/self/status.
rlim_t mapped_bytes() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
  }
  return 0;
}

// Runs `body` in a forked child and gives its exit status (or 128 + signal).
// With `headroom`, the child may map only that many bytes beyond what it has
// at the start, so an allocation sized from a file's claims fails there
// instead of taking the machine's memory. The alarm only ends a hung child.
int run_in_child(const std::function<int()>& body, rlim_t headroom = 0) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(120);
    if (headroom != 0) {
      const rlim_t limit = mapped_bytes() + headroom;
      const struct rlimit as {limit, limit};
      if (::setrlimit(RLIMIT_AS, &as) != 0) ::_exit(100);
    }
    ::_exit(body());
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class IndexFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "ldx-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Bytes saved(const Storage& s) {
    const fs::path p = dir_ / "saved.ldx";
    EXPECT_TRUE(save_index_file(p, s).has_value());
    return read_bytes(p);
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

// ---- the layout ------------------------------------------------------------

struct Shape {
  uint64_t dim;
  uint8_t bits;
  bool use_qjl;
  size_t rows;
};

class IndexFileRoundTrip : public IndexFileTest, public ::testing::WithParamInterface<Shape> {};

TEST_P(IndexFileRoundTrip, SizeOffsetsRowsAndResave) {
  const Shape sh = GetParam();
  const Storage s = make_storage(sh.dim, sh.bits, sh.use_qjl, sh.rows);
  const Bytes file = saved(s);
  const uint64_t n = sh.rows, cb = (sh.dim * sh.bits + 7) / 8, qb = (sh.dim + 7) / 8;
  ASSERT_EQ(file.size(), 52 + n * (10 + cb + (sh.use_qjl ? qb : 0)));
  EXPECT_EQ(std::memcmp(file.data(), "LDXI\x01\x00", 6), 0);
  EXPECT_EQ(file[10], sh.bits);
  EXPECT_EQ(file[11], sh.use_qjl ? 1 : 0);
  EXPECT_EQ(get_u64(file, 20), n);
  EXPECT_EQ(get_u64(file, 28), 52 + 8 * n);
  EXPECT_EQ(get_u64(file, 36), 52 + 10 * n);
  EXPECT_EQ(get_u64(file, 44), sh.use_qjl ? 52 + (10 + cb) * n : 0);

  Result<Storage> loaded = parse_rows(file);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().text();
  expect_same_rows(s, *loaded);
  EXPECT_EQ(saved(*loaded), file);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, IndexFileRoundTrip,
    ::testing::Values(Shape{64, 2, false, 33}, Shape{64, 2, true, 33}, Shape{24, 3, false, 17},
                      Shape{24, 3, true, 17}, Shape{128, 4, false, 20}, Shape{128, 4, true, 1000},
                      Shape{8, 5, true, 5}, Shape{256, 5, false, 40}, Shape{64, 4, true, 0},
                      Shape{64, 4, false, 0}, Shape{100, 4, false, 3},  // not a power of two: the rotation objects, not the file
                      Shape{16, 7, true, 3}, Shape{16, 0, true, 3},     // bits are stored, never validated
                      Shape{16384, 5, true, 3}));                       // rows wider than the write buffer

TEST_F(IndexFileTest, WorkedExampleOfTheLayout) {
  const Bytes file = saved(make_storage(128, 4, true, 1000));
  EXPECT_EQ(file.size(), 90052u);
  EXPECT_EQ(get_u64(file, 28), 8052u);
  EXPECT_EQ(get_u64(file, 36), 10052u);
  EXPECT_EQ(get_u64(file, 44), 74052u);
}

TEST_F(IndexFileTest, NaNNormsLeaveWithTheirQuietBit) {
  Storage s(8, 1, 4, false);
  const Bytes codes(4);
  for (uint16_t norm : {0x7F81, 0xFF81, 0x7F80, 0x3F80}) s.push(0, norm, codes, std::nullopt);
  const Bytes file = saved(s);
  const uint16_t want[] = {0x7FC1, 0xFFC1, 0x7F80, 0x3F80};
  const size_t norms = 52 + 4 * 8;
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(file[norms + 2 * i] | file[norms + 2 * i + 1] << 8, want[i]) << i;
}

// ---- hostile and odd headers -------------------------------------------------

enum class Expect { kLoads, kTooSmall, kBadMagic, kOutside };

struct Crafted {
  const char* name;
  void (*edit)(Bytes&);
  Expect expect;
};

// A valid file to start from: dim 16, bits 3, QJL, 3 rows of 6 + 2 bytes.
Bytes base_file() {
  Storage s = make_storage(16, 3, true, 3);
  const fs::path p = fs::temp_directory_path() / ("ldx-base-" + std::to_string(::getpid()));
  EXPECT_TRUE(save_index_file(p, s).has_value());
  Bytes b = read_bytes(p);
  fs::remove(p);
  return b;
}

class IndexFileCrafted : public ::testing::TestWithParam<Crafted> {};

TEST_P(IndexFileCrafted, LoadsOrFailsCleanly) {
  Bytes f = base_file();
  GetParam().edit(f);
  const Result<Storage> r = parse_rows(f);
  // What a load reads of a file is all the parser needs of it.
  const size_t needed = std::min(index_file_bytes_needed(f), f.size());
  EXPECT_EQ(outcome(parse_rows(std::span(f).first(needed))), outcome(r));
  switch (GetParam().expect) {
    case Expect::kLoads: ASSERT_TRUE(r.has_value()) << r.error().text(); break;
    case Expect::kTooSmall: EXPECT_EQ(r.error().text(), "invalid .ldx file: file too small"); break;
    case Expect::kBadMagic: EXPECT_EQ(r.error().text(), "invalid .ldx file: bad magic"); break;
    case Expect::kOutside:
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), IndexError::Kind::kInternalFault) << r.error().text();
      EXPECT_NE(r.error().text().find("beyond length " + std::to_string(f.size())), std::string::npos)
          << r.error().text();
  }
}

constexpr uint64_t kTop = ~uint64_t{0};

INSTANTIATE_TEST_SUITE_P(
    Headers, IndexFileCrafted,
    ::testing::Values(
        Crafted{"Empty", [](Bytes& f) { f.clear(); }, Expect::kTooSmall},
        Crafted{"Bytes51", [](Bytes& f) { f.resize(51); }, Expect::kTooSmall},
        Crafted{"WrongMagic", [](Bytes& f) { f.resize(52), f[3] = 'J'; }, Expect::kBadMagic},
        Crafted{"Version7", [](Bytes& f) { f[4] = 7; }, Expect::kLoads},
        Crafted{"Bits7", [](Bytes& f) { f[10] = 7; }, Expect::kOutside},  // 14-byte codes no longer fit
        Crafted{"Bits0", [](Bytes& f) { f[10] = 0; }, Expect::kLoads},
        Crafted{"CountOneTooMany", [](Bytes& f) { set_le(f, 20, 4, 8); }, Expect::kOutside},
        Crafted{"Count2Pow60", [](Bytes& f) { set_le(f, 20, uint64_t{1} << 60, 8); }, Expect::kOutside},
        Crafted{"CountMax", [](Bytes& f) { set_le(f, 20, kTop, 8); }, Expect::kOutside},
        Crafted{"NormsNearTop", [](Bytes& f) { set_le(f, 28, kTop - 1, 8); }, Expect::kOutside},
        Crafted{"CodesNearTop", [](Bytes& f) { set_le(f, 36, kTop - 5, 8); }, Expect::kOutside},
        Crafted{"QjlNearTop", [](Bytes& f) { set_le(f, 44, kTop, 8); }, Expect::kOutside},
        Crafted{"HugeCodes", [](Bytes& f) { set_le(f, 6, uint64_t{1} << 31, 4), f[10] = 5; }, Expect::kOutside},
        Crafted{"HugestCodes", [](Bytes& f) { set_le(f, 6, 0xFFFFFFFF, 4), f[10] = 255; }, Expect::kOutside},
        Crafted{"HugeCodesManyRows",
                [](Bytes& f) { set_le(f, 6, uint64_t{1} << 31, 4), f[10] = 5, set_le(f, 20, uint64_t{1} << 60, 8); },
                Expect::kOutside},
        Crafted{"WideQjlRowsOverALongTail",  // only the tail's length may size what is reserved
                [](Bytes& f) {
                  set_le(f, 6, uint64_t{1} << 31, 4), f[10] = 0, set_le(f, 20, uint64_t{1} << 20, 8);
                  f.resize(f.size() + 65536);
                },
                Expect::kOutside},
        Crafted{"SectionsOverlap", [](Bytes& f) { set_le(f, 28, 52, 8), set_le(f, 36, 52, 8); }, Expect::kLoads},
        Crafted{"TrailingBytes", [](Bytes& f) { f.resize(f.size() + 100, 0xAB); }, Expect::kLoads}),
    [](const ::testing::TestParamInfo<Crafted>& param) { return std::string(param.param.name); });

TEST(IndexFileParse, HeaderFieldsAreTakenAsStored) {
  Bytes f = base_file();
  f[4] = 7, f[10] = 0, f[11] = 2;  // version ignored, bits 0 kept, any non-zero use_qjl is true
  set_le(f, 6, 100, 4);
  set_le(f, 44, 52, 8);  // 13-byte QJL rows now, read over the ids
  const Result<Storage> r = parse_rows(f);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(r->dim(), 100u);
  EXPECT_EQ(r->bits(), 0);
  EXPECT_TRUE(r->use_qjl());
  EXPECT_EQ(r->len(), 3u);
  // ceil(100 / 8) = 13 bytes per row, read from where the header points.
  EXPECT_EQ(qjl_of(*r, 2), Bytes(f.begin() + 52 + 26, f.begin() + 52 + 39));
}

TEST(IndexFileParse, MissingQjlSectionLoadsAndResavesAsZeros) {
  Bytes f = base_file();
  set_le(f, 44, 0, 8);
  const Result<Storage> r = parse_rows(f);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  ASSERT_TRUE(r->use_qjl());
  const fs::path p = fs::temp_directory_path() / ("ldx-noqjl-" + std::to_string(::getpid()));
  ASSERT_TRUE(save_index_file(p, *r).has_value());
  Bytes again = read_bytes(p);
  fs::remove(p);
  ASSERT_EQ(again.size(), f.size());
  EXPECT_TRUE(std::equal(f.begin() + 52, f.end() - 6, again.begin() + 52));
  EXPECT_EQ(Bytes(again.end() - 6, again.end()), Bytes(6, 0));
  EXPECT_EQ(get_u64(again, 44), f.size() - 6);
}

TEST(IndexFileParse, RowsComeFromWhereverTheOffsetsPoint) {
  Bytes f = base_file();
  set_le(f, 28, 52, 8);  // norms read the first id's bytes
  const Result<Storage> r = parse_rows(f);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->norm_bits(0), f[52] | f[53] << 8);
  EXPECT_EQ(r->norm_bits(1), f[54] | f[55] << 8);
}

TEST(IndexFileParse, EveryTruncationAndHeaderFlipFailsCleanly) {
  const Bytes full = base_file();
  for (size_t len = 0; len < full.size(); ++len) {
    const Result<Storage> r = parse_rows(std::span(full).first(len));
    ASSERT_FALSE(r.has_value()) << len;
    if (len < 52) {
      EXPECT_EQ(r.error().text(), "invalid .ldx file: file too small");
    } else {
      EXPECT_EQ(r.error().kind(), IndexError::Kind::kInternalFault) << len;
    }
  }
  for (size_t at = 0; at < 52; ++at) {
    for (uint8_t flip : {0x01, 0x80, 0xFF}) {
      Bytes f = full;
      f[at] ^= flip;
      const Result<Storage> r = parse_rows(f);
      if (r.has_value()) continue;
      const auto kind = r.error().kind();
      EXPECT_TRUE(kind == IndexError::Kind::kInternalFault ||
                  (kind == IndexError::Kind::kFile && !r.error().is_io()))
          << at << ": " << r.error().text();
    }
  }
}

TEST(IndexFileParse, BytesNeededEndAtTheFarthestSection) {
  const fs::path p = fs::temp_directory_path() / ("ldx-needed-" + std::to_string(::getpid()));
  ASSERT_TRUE(save_index_file(p, make_storage(128, 4, true, 1000)).has_value());
  Bytes worked = read_bytes(p);
  fs::remove(p);
  const Bytes base = base_file();  // dim 16, bits 3, QJL: 3 rows of 6 code and 2 QJL bytes
  struct Case {
    const char* name;
    Bytes file;
    size_t needed;
  };
  const auto edited = [&](auto edit) {
    Bytes f = base;
    edit(f);
    return f;
  };
  const Case cases[] = {
      {"worked example", worked, 90052},
      {"trailing bytes", edited([](Bytes& f) { f.resize(f.size() + 1000); }), base.size()},
      {"too short", Bytes(base.begin(), base.begin() + 40), 52},
      {"header only", Bytes(base.begin(), base.begin() + 52), base.size()},
      {"bad magic", edited([](Bytes& f) { f[0] = 'X'; }), 52},
      {"no rows", edited([](Bytes& f) { set_le(f, 20, 0, 8), set_le(f, 36, kTop, 8); }), 52},
      {"norms last", edited([](Bytes& f) { set_le(f, 28, 1000, 8); }), 1006},
      {"no QJL section", edited([](Bytes& f) { set_le(f, 44, 0, 8); }), 52 + 30 + 18},
      {"QJL flag off", edited([](Bytes& f) { f[11] = 0; }), 52 + 30 + 18},
      {"zero-width codes far out", edited([](Bytes& f) { f[10] = 0, f[11] = 0, set_le(f, 36, 5000, 8); }), 5000},
      {"beyond 2^64", edited([](Bytes& f) { set_le(f, 36, kTop - 5, 8); }), SIZE_MAX},
      {"count 2^64 - 1", edited([](Bytes& f) { set_le(f, 20, kTop, 8); }), SIZE_MAX},
  };
  for (const Case& c : cases) EXPECT_EQ(index_file_bytes_needed(c.file), c.needed) << c.name;
}

// ---- the file system ---------------------------------------------------------

TEST_F(IndexFileTest, OsErrorsCarryTheSystemText) {
  const std::string missing = "I/O error: No such file or directory (os error 2)";
  write_bytes(dir_ / "plain", {1, 2, 3});
  const Storage s = make_storage(8, 4, false, 2);
  struct Case {
    std::string path;
    std::string load_text, save_text;
  } cases[] = {
      {dir_ / "absent.ldx", missing, ""},
      {dir_ / "no-dir" / "x.ldx", missing, missing},
      {dir_, "I/O error: Is a directory (os error 21)", "I/O error: Is a directory (os error 21)"},
      {dir_ / "plain" / "x.ldx", "I/O error: Not a directory (os error 20)",
       "I/O error: Not a directory (os error 20)"},
      {(dir_ / "nul").string() + std::string(1, '\0') + "x", "I/O error: file name contained an unexpected NUL byte",
       "I/O error: file name contained an unexpected NUL byte"},
  };
  for (const Case& c : cases) {
    const Result<Storage> loaded = load_rows(c.path);
    ASSERT_FALSE(loaded.has_value()) << c.path;
    EXPECT_EQ(loaded.error().text(), c.load_text);
    EXPECT_TRUE(loaded.error().is_io());
    if (c.save_text.empty()) continue;
    const Status st = save_index_file(c.path, s);
    ASSERT_FALSE(st.has_value()) << c.path;
    EXPECT_EQ(st.error().text(), c.save_text);
  }
  EXPECT_EQ(entries(), std::vector<std::string>{"plain"});  // nothing created, no temporary left
}

TEST_F(IndexFileTest, DimensionBeyondTheFieldIsRefusedBeforeTouchingDisk) {
  const Storage s(uint64_t{1} << 32, 0, 4, false);
  const Status st = save_index_file(dir_ / "big.ldx", s);
  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().kind(), IndexError::Kind::kInvalidArgument);
  EXPECT_EQ(st.error().text(), "dimension 4294967296 does not fit the file format");
  EXPECT_TRUE(entries().empty());
}

TEST_F(IndexFileTest, FullDeviceIsWrittenInPlaceAndReportsTheError) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  for (size_t rows : {0, 5000}) {  // fails at the final flush, and in mid-stream
    const Status st = save_index_file("/dev/full", make_storage(64, 4, true, rows));
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().text(), "I/O error: No space left on device (os error 28)");
  }
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// A FIFO is written and read where it is, through many buffers and with no
// size known in advance. A signal that lands while a read or write blocks
// cuts it short or makes it fail with EINTR; neither may end the call.
TEST_F(IndexFileTest, FifoIsWrittenAndReadInPlaceThroughSignals) {
  struct sigaction on_alarm {}, old_action {};
  on_alarm.sa_handler = [](int) {};
  on_alarm.sa_flags = 0;  // no SA_RESTART: blocked calls really return early
  ASSERT_EQ(::sigaction(SIGALRM, &on_alarm, &old_action), 0);
  const auto old_pipe = ::signal(SIGPIPE, SIG_IGN);  // a failed load must not kill the trickling writer
  const struct itimerval every_100us {{0, 100}, {0, 100}}, off {};
  ASSERT_EQ(::setitimer(ITIMER_REAL, &every_100us, nullptr), 0);

  const Storage s = make_storage(256, 4, true, 20000);  // about 3.5 MB through a 64 KiB pipe
  const fs::path fifo = dir_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto quiet = [] {  // only the thread under test takes the alarms
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  };
  Bytes got;
  std::thread reader([&] { quiet(), got = read_bytes(fifo); });
  const Status saved_ok = save_index_file(fifo, s);
  reader.join();
  std::thread writer([&] {
    quiet();
    // Trickled, so the load keeps finding the pipe empty and blocks in read.
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    for (size_t at = 0; at < got.size(); at += 4096) {
      if (::write(fd, got.data() + at, std::min<size_t>(4096, got.size() - at)) <= 0) break;
      ::usleep(20);
    }
    ::close(fd);
  });
  const Result<Storage> loaded = load_rows(fifo);
  writer.join();

  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &old_action, nullptr);
  ::signal(SIGPIPE, old_pipe);
  ASSERT_TRUE(saved_ok.has_value()) << saved_ok.error().text();
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(got, saved(s));
  ASSERT_TRUE(loaded.has_value()) << loaded.error().text();
  expect_same_rows(s, *loaded);
}

// ---- loading: the header, then only the bytes the rows need -------------------

// Ignores SIGPIPE while alive, so a feeder outliving its reader gets EPIPE.
struct IgnoreSigpipe {
  IgnoreSigpipe() : old(::signal(SIGPIPE, SIG_IGN)) {}
  ~IgnoreSigpipe() { ::signal(SIGPIPE, old); }
  sighandler_t old;
};

// Writes `head` into a FIFO from a thread of its own, then junk bytes up to
// `total` in all (a stand-in for "forever"), stopping early when the reader
// goes away. Knows how much the pipe took and how much it can hold unread.
class Feeder {
 public:
  Feeder(const fs::path& fifo, Bytes head, size_t total)
      : thread_([this, fifo, head = std::move(head), total] { run(fifo, head, total); }) {}
  ~Feeder() { join(); }

  void join() {
    if (thread_.joinable()) thread_.join();
  }
  size_t accepted() const { return accepted_; }
  size_t capacity() const { return capacity_; }

 private:
  void run(const fs::path& fifo, const Bytes& head, size_t total) {
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    if (fd < 0) return;
    capacity_ = static_cast<size_t>(std::max(::fcntl(fd, F_GETPIPE_SZ), 0));
    const Bytes junk(size_t{64} << 10, 0xA5);
    size_t sent = 0;
    while (sent < total) {
      const bool in_head = sent < head.size();
      const uint8_t* from = in_head ? head.data() + sent : junk.data();
      const size_t n = std::min(in_head ? head.size() - sent : junk.size(), total - sent);
      const ssize_t put = ::write(fd, from, n);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) break;  // EPIPE: the reader has closed its end
      sent += static_cast<size_t>(put);
    }
    accepted_ = sent;
    ::close(fd);
  }

  size_t accepted_ = 0;
  size_t capacity_ = 0;
  std::thread thread_;
};

TEST_F(IndexFileTest, LoadingAgreesWithParsingAtEveryLength) {
  IgnoreSigpipe sigpipe;
  Bytes full = base_file();
  full.resize(full.size() + 16, 0xEE);  // trailing bytes, read by neither path
  const fs::path file = dir_ / "cut.ldx", fifo = dir_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (size_t len = 0; len <= full.size(); ++len) {
    const Bytes cut(full.begin(), full.begin() + static_cast<ptrdiff_t>(len));
    // Lengths in the messages: the file's for a regular file, what arrived
    // for a pipe; both are `len` here.
    const std::string want = outcome(parse_rows(cut));
    write_bytes(file, cut);
    EXPECT_EQ(outcome(load_rows(file)), want) << len;
    Feeder feeder(fifo, cut, cut.size());
    EXPECT_EQ(outcome(load_rows(fifo)), want) << "through a pipe, " << len;
  }
}

TEST_F(IndexFileTest, APipeFedWithoutEndIsReadOnlyAsFarAsTheRowsNeed) {
  IgnoreSigpipe sigpipe;
  const Storage s = make_storage(64, 4, true, 300);
  const Bytes file = saved(s);
  const fs::path fifo = dir_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Feeder feeder(fifo, file, size_t{64} << 20);
  const Result<Storage> loaded = load_rows(fifo);
  feeder.join();
  ASSERT_TRUE(loaded.has_value()) << loaded.error().text();
  expect_same_rows(s, *loaded);
  // Beyond the rows, the pipe took only what it could hold unread.
  EXPECT_LE(feeder.accepted(), file.size() + feeder.capacity());

  // A header that claims far more than ever arrives: the buffer follows the
  // bytes that came, and the message gives their number as the length.
  Bytes claims = file;
  set_le(claims, 20, uint64_t{1} << 40, 8);
  Feeder short_feeder(fifo, claims, size_t{1} << 20);
  const Result<Storage> refused = load_rows(fifo);
  short_feeder.join();
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), IndexError::Kind::kInternalFault);
  EXPECT_NE(refused.error().text().find("beyond length 1048576"), std::string::npos) << refused.error().text();
}

// Bytes this thread has received from read() and the like.
uint64_t bytes_read_by_this_thread() {
  std::ifstream in("/proc/thread-self/io");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("rchar:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

TEST_F(IndexFileTest, ARegularFileIsReadNoFurtherThanTheRowsNeed) {
  const Storage s = make_storage(64, 4, true, 300);
  Bytes file = saved(s);
  const size_t rows_end = file.size();
  file.resize(rows_end + (size_t{4} << 20), 0xEE);
  write_bytes(dir_ / "tail.ldx", file);
  const uint64_t before = bytes_read_by_this_thread();
  if (before == 0) GTEST_SKIP() << "no per-thread I/O accounting in /proc";
  const Result<Storage> loaded = load_rows(dir_ / "tail.ldx");
  const uint64_t read = bytes_read_by_this_thread() - before;
  ASSERT_TRUE(loaded.has_value()) << loaded.error().text();
  expect_same_rows(s, *loaded);
  EXPECT_GE(read, rows_end);
  EXPECT_LT(read, rows_end + 4096);  // the accounting file's own text counts too
}

TEST(IndexFileLoad, EndlessDevicesOfZerosFailAtOnceWithBadMagic) {
  for (const char* device : {"/dev/zero", "/dev/full"}) {
    if (!fs::exists(device)) continue;
    // The limit turns a reader that keeps reading into a quick failure
    // instead of a machine out of memory (sanitizers cannot run under it).
    const int status = run_in_child(
        [&] {
          const Result<Storage> r = load_rows(device);
          if (!r && r.error().text() == "invalid .ldx file: bad magic") return 0;
          std::fprintf(stderr, "%s: %s\n", device, r ? "loaded" : r.error().text().c_str());
          return 1;
        },
        kSanitized ? 0 : rlim_t{256} << 20);
    EXPECT_EQ(status, 0) << device;
  }
}

TEST_F(IndexFileTest, ASignalCanAbandonALoadWaitingOnAPipe) {
  // The load may give up before the writer opens the pipe, or after it
  // opened it and before it writes.
  IgnoreSigpipe sigpipe;
  struct sigaction on_signal {}, old_action {};
  on_signal.sa_handler = [](int) {};
  on_signal.sa_flags = 0;  // no SA_RESTART: the blocked read returns EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &on_signal, &old_action), 0);
  const Bytes file = saved(make_storage(16, 3, true, 3));
  const fs::path fifo = dir_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  // The writer sends the header and a few row bytes, then goes quiet
  // without closing: the load waits in read() for bytes that never come.
  int writer_fd = -1;
  std::thread writer([&] {
    writer_fd = ::open(fifo.c_str(), O_WRONLY);
    if (writer_fd >= 0) (void)!::write(writer_fd, file.data(), 60);
  });
  std::atomic<int> asked{0};
  std::atomic<bool> done{false};
  std::optional<Result<Storage>> loaded;
  std::thread loader([&] {
    loaded = load_rows(fifo, [&] { return ++asked == 3; });
    done = true;
  });
  // A signal every millisecond until the load gives up; should it never,
  // closing the pipe ends the load with another error (a hang detector).
  for (int sent = 0; !done && sent < 10000; ++sent) {
    ::pthread_kill(loader.native_handle(), SIGUSR1);
    ::usleep(1000);
  }
  // The load may have given up in open(), before the writer's open found a
  // reader: a reader that leaves at once lets the writer through.
  const int unblock = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  writer.join();
  ::close(unblock);
  ::close(writer_fd);
  loader.join();
  ::sigaction(SIGUSR1, &old_action, nullptr);

  ASSERT_FALSE(loaded->has_value());
  EXPECT_EQ(loaded->error().text(), "I/O error: Interrupted system call (os error 4)");
  EXPECT_EQ(asked, 3);  // retried until told to stop
}

// A header for `count` rows of `dim` coordinates at `bits`, laid out as the
// writer lays them, without QJL bits.
Bytes header_for(uint64_t dim, uint8_t bits, uint64_t count) {
  Bytes h(kHeaderBytes, 0);
  std::memcpy(h.data(), "LDXI", 4);
  set_le(h, 4, 1, 2);
  set_le(h, 6, dim, 4);
  h[10] = bits;
  set_le(h, 20, count, 8);
  set_le(h, 28, 52 + 8 * count, 8);
  set_le(h, 36, 52 + 10 * count, 8);
  return h;
}

TEST_F(IndexFileTest, MemoryThatCannotBeHadIsItsOwnError) {
  if (kSanitized) GTEST_SKIP() << "sanitizers need more address space than the limit leaves";
  // dim 16384 at 4 bits: 8 KiB of codes a row. The files are sparse: all
  // their rows read as zeros, and they cost no disk. A load holds the rows
  // and one piece of the file, never the file's bytes beside the rows.
  struct Case {
    const char* what;
    uint64_t rows;
    rlim_t headroom;
    bool fits;
  } cases[] = {
      {"rows beyond the limit", 131072, rlim_t{256} << 20, false},  // 1 GiB to hold
      {"rows within it", 8192, rlim_t{96} << 20, true},             // 64 MiB to hold, as much again to read
  };
  for (const Case& c : cases) {
    const fs::path p = dir_ / "big.ldx";
    write_bytes(p, header_for(16384, 4, c.rows));
    fs::resize_file(p, 52 + c.rows * (10 + 8192));
    const int status = run_in_child(
        [&] {
          const Result<Storage> r = load_rows(p);
          if (c.fits ? r.has_value() && r->len() == c.rows
                     : !r && r.error().kind() == IndexError::Kind::kOutOfMemory && r.error().text() == "out of memory") {
            return 0;
          }
          std::fprintf(stderr, "%s: %s\n", c.what, r ? "loaded" : r.error().text().c_str());
          return 1;
        },
        c.headroom);
    EXPECT_EQ(status, 0) << c.what;
  }
}

TEST_F(IndexFileTest, FailedSaveLeavesTheOldFileAndNoTemporary) {
  const fs::path p = dir_ / "index.ldx";
  const Storage small = make_storage(16, 2, false, 3);
  ASSERT_TRUE(save_index_file(p, small).has_value());
  const Bytes before = read_bytes(p);

  // A file-size limit makes the kernel refuse writes past it, for root too:
  // the replacement fails part-way through the stream.
  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = old;
  tight.rlim_cur = 20000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  const Status st = save_index_file(p, make_storage(128, 4, true, 1000));
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, old_handler);

  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().text(), "I/O error: File too large (os error 27)");
  EXPECT_EQ(read_bytes(p), before);
  EXPECT_EQ(entries(), std::vector<std::string>{"index.ldx"});
}

TEST_F(IndexFileTest, ReplacingKeepsModeAndANewFileFollowsTheUmask) {
  const Storage s = make_storage(16, 3, true, 4);
  const fs::path old_file = dir_ / "old.ldx";
  write_bytes(old_file, {0});
  ASSERT_EQ(::chmod(old_file.c_str(), 0604), 0);
  const mode_t old_mask = ::umask(027);
  ASSERT_TRUE(save_index_file(old_file, s).has_value());
  ASSERT_TRUE(save_index_file(dir_ / "new.ldx", s).has_value());
  ::umask(old_mask);
  struct stat st;
  ASSERT_EQ(::stat(old_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  ASSERT_EQ(::stat((dir_ / "new.ldx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(read_bytes(old_file), read_bytes(dir_ / "new.ldx"));
}

// A directory that takes no new names leaves no room for the temporary. The
// save must then fail and leave the old file whole, even though the file
// itself could be rewritten where it is.
TEST_F(IndexFileTest, FileInADirectoryThatTakesNoNewNamesIsLeftAlone) {
  const fs::path p = dir_ / "open.ldx";
  const Storage old_rows = make_storage(16, 2, true, 5);
  ASSERT_TRUE(save_index_file(p, old_rows).has_value());
  const Bytes before = read_bytes(p);
  ASSERT_EQ(::chmod(p.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
  const Storage s = make_storage(64, 4, true, 2000);
  // Root ignores directory permissions: as root, the save runs as an
  // ordinary user in a child.
  const int status = run_in_child([&] {
    if (::geteuid() == 0 && ::setuid(65534) != 0) return 3;
    const Status st = save_index_file(p, s);
    if (st.has_value()) return 1;
    if (st.error().text() == "I/O error: Permission denied (os error 13)") return 0;
    std::fprintf(stderr, "%s\n", st.error().text().c_str());
    return 2;
  });
  ::chmod(dir_.c_str(), 0700);
  if (status == 3) GTEST_SKIP() << "cannot drop root privileges here";
  EXPECT_EQ(status, 0) << "1: saved anyway, 2: another error";
  EXPECT_EQ(read_bytes(p), before);
  EXPECT_EQ(entries(), std::vector<std::string>{"open.ldx"});
}

TEST_F(IndexFileTest, TheLongestNameStillGetsATemporarySibling) {
  const std::string name(NAME_MAX, 'n');
  const Storage s = make_storage(16, 2, false, 2);
  ASSERT_TRUE(save_index_file(dir_ / name, s).has_value());
  ASSERT_TRUE(save_index_file(dir_ / name, s).has_value());
  EXPECT_EQ(entries(), std::vector<std::string>{name});
}

TEST_F(IndexFileTest, SymlinksAreFollowedAndKept) {
  const Storage s = make_storage(16, 3, false, 4);
  fs::create_directory(dir_ / "real");
  write_bytes(dir_ / "real" / "target.ldx", {0});
  // link -> real/hop -> target.ldx: two hops, both relative to their own directory.
  fs::create_symlink("target.ldx", dir_ / "real" / "hop");
  fs::create_symlink("real/hop", dir_ / "link");
  fs::create_symlink("real/absent.ldx", dir_ / "dangling");
  const auto inode = [](const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_ino;
  };
  const ino_t before = inode(dir_ / "real" / "target.ldx");
  ASSERT_TRUE(save_index_file(dir_ / "link", s).has_value());
  EXPECT_NE(inode(dir_ / "real" / "target.ldx"), before);  // replaced whole, not rewritten
  ASSERT_TRUE(save_index_file(dir_ / "dangling", s).has_value());
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "real" / "hop"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling"));
  EXPECT_EQ(read_bytes(dir_ / "real" / "target.ldx"), saved(s));
  EXPECT_EQ(read_bytes(dir_ / "real" / "absent.ldx"), saved(s));
}

TEST_F(IndexFileTest, SavingOverTheLoadedFileKeepsItsRows) {
  const fs::path p = dir_ / "same.ldx";
  const Storage s = make_storage(64, 5, true, 50);
  ASSERT_TRUE(save_index_file(p, s).has_value());
  Result<Storage> loaded = load_rows(p);
  ASSERT_TRUE(loaded.has_value());
  Bytes codes(loaded->code_bytes(), 7);
  loaded->push(99, 0x3F80, codes, std::nullopt);
  ASSERT_TRUE(save_index_file(p, *loaded).has_value());
  Result<Storage> again = load_rows(p);
  ASSERT_TRUE(again.has_value());
  expect_same_rows(*loaded, *again);
  EXPECT_EQ(again->len(), 51u);
}

}  // namespace
}  // namespace lodex
