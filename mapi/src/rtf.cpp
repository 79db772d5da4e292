// rtf.cpp: compressed RTF coding and WrapCompressedRTFStream.
//
// Runs: each control byte carries eight flags, low bit first. A clear flag is
// a literal byte; a set flag a big-endian u16 reference, dictionary offset in
// the high 12 bits and run length - 2 in the low 4. Every byte produced is
// also written into the dictionary at its write position, one at a time, so
// a run may read bytes it has just written. A reference to the write
// position itself ends the data.
#include "rtf.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "com.h"

namespace zuvstore {
namespace {

constexpr size_t kDictSize = 4096;
constexpr size_t kDictMask = kDictSize - 1;
constexpr size_t kMaxRun = 17;
constexpr size_t kHeaderSize = 16;
constexpr uint32_t kLzfu = 0x75465A4Cu;  // "LZFu"
constexpr uint32_t kMela = 0x414C454Du;  // "MELA"

// The dictionary's initial contents.
constexpr std::string_view kPrelude =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern "
    "\\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0"
    "\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
static_assert(kPrelude.size() == 207);

// CRC-32 (reflected polynomial 0xEDB88320) with neither initial nor final
// inversion, as the format uses it.
constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

uint32_t Crc(std::string_view data) {
  uint32_t crc = 0;
  for (char ch : data) crc = kCrcTable[(crc ^ static_cast<uint8_t>(ch)) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t LoadU32(const char* p) {
  auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(u[0]) | (static_cast<uint32_t>(u[1]) << 8) |
         (static_cast<uint32_t>(u[2]) << 16) | (static_cast<uint32_t>(u[3]) << 24);
}

void StoreU32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

void WriteHeader(std::string* blob, uint32_t raw_size, uint32_t kind, uint32_t crc) {
  StoreU32(&(*blob)[0], static_cast<uint32_t>(blob->size() - 4));
  StoreU32(&(*blob)[4], raw_size);
  StoreU32(&(*blob)[8], kind);
  StoreU32(&(*blob)[12], crc);
}

struct Dictionary {
  Dictionary() { std::memcpy(bytes.data(), kPrelude.data(), kPrelude.size()); }
  void Put(uint8_t b) {
    bytes[write] = b;
    write = (write + 1) & kDictMask;
  }
  std::array<uint8_t, kDictSize> bytes{};
  size_t write = kPrelude.size();
};

// Greedy longest-match encoder. Candidates come from hash chains keyed by two
// bytes and from the few positions just behind the write position (runs of a
// repeated pattern); each is verified against what the decoder would read.
class Encoder {
 public:
  explicit Encoder(std::string_view in) : in_(in) {
    head_.fill(-1);
    prev_.fill(-1);
    for (size_t p = 0; p + 1 < kPrelude.size(); ++p) Insert(p);
  }

  std::string Run() {
    std::string out(kHeaderSize, '\0');
    size_t i = 0;
    while (i < in_.size()) {
      size_t off = 0;
      const size_t len = FindMatch(i, &off);
      if (len >= 2) {
        Token(&out, true);
        PutRef(&out, off, len - 2);
        for (size_t k = 0; k < len; ++k) Put(in_[i + k]);
        i += len;
      } else {
        Token(&out, false);
        out.push_back(in_[i]);
        Put(in_[i]);
        ++i;
      }
    }
    Token(&out, true);
    PutRef(&out, dict_.write, 0);  // end of data
    WriteHeader(&out, static_cast<uint32_t>(in_.size()), kLzfu,
                Crc(std::string_view(out).substr(kHeaderSize)));
    return out;
  }

 private:
  static constexpr int kMaxChain = 64;

  uint16_t Key(size_t pos) const {
    return static_cast<uint16_t>((dict_.bytes[pos] << 8) | dict_.bytes[(pos + 1) & kDictMask]);
  }

  void Insert(size_t pos) {
    const uint16_t key = Key(pos);
    if (head_[key] == static_cast<int16_t>(pos)) return;
    prev_[pos] = head_[key];
    head_[key] = static_cast<int16_t>(pos);
  }

  // Writes b at the write position; the position before it now has both of
  // its key bytes.
  void Put(char b) {
    const size_t at = dict_.write;
    dict_.Put(static_cast<uint8_t>(b));
    if (filled_ < kDictSize) ++filled_;
    Insert((at - 1) & kDictMask);
  }

  void Token(std::string* out, bool ref) {
    if (bit_ == 8) {
      control_at_ = out->size();
      out->push_back('\0');
      bit_ = 0;
    }
    if (ref) (*out)[control_at_] = static_cast<char>((*out)[control_at_] | (1 << bit_));
    ++bit_;
  }

  static void PutRef(std::string* out, size_t off, size_t len_code) {
    const auto ref = static_cast<uint16_t>((off << 4) | len_code);
    out->push_back(static_cast<char>(ref >> 8));
    out->push_back(static_cast<char>(ref & 0xFF));
  }

  // How many input bytes from i a run from off reproduces. A source position
  // the run has already overwritten holds the run's own earlier output.
  size_t MatchLength(size_t off, size_t i) const {
    const size_t wp = dict_.write;
    const size_t max = std::min(kMaxRun, in_.size() - i);
    size_t k = 0;
    for (; k < max; ++k) {
      const size_t src = (off + k) & kDictMask;
      const size_t dist = (src - wp) & kDictMask;
      const uint8_t b = dist < k ? static_cast<uint8_t>(in_[i + dist]) : dict_.bytes[src];
      if (b != static_cast<uint8_t>(in_[i + k])) break;
    }
    return k;
  }

  // Distance from the oldest dictionary position (just after the write one).
  size_t Age(size_t off) const { return (off - dict_.write - 1) & kDictMask; }

  size_t FindMatch(size_t i, size_t* best_off) const {
    if (in_.size() - i < 2) return 0;
    const size_t wp = dict_.write;
    size_t best = 0;
    auto consider = [&](size_t off) {
      // The write position means "end"; unwritten positions hold nothing.
      if (off == wp || (filled_ < kDictSize && off >= wp)) return;
      // Equal runs: the oldest position wins, so equal input gives equal output
      // whatever order the candidates come in.
      const size_t len = MatchLength(off, i);
      if (len > best || (len == best && len > 0 && Age(off) < Age(*best_off))) {
        best = len;
        *best_off = off;
      }
    };
    for (size_t d = 1; d <= 4; ++d) consider((wp - d) & kDictMask);
    const auto key = static_cast<uint16_t>((static_cast<uint8_t>(in_[i]) << 8) |
                                           static_cast<uint8_t>(in_[i + 1]));
    int steps = 0;
    for (int p = head_[key]; p >= 0 && steps < kMaxChain && best < kMaxRun; p = prev_[p]) {
      consider(static_cast<size_t>(p));
      ++steps;
    }
    return best;
  }

  std::string_view in_;
  Dictionary dict_;
  size_t filled_ = kPrelude.size();      // dictionary positions holding data
  std::array<int16_t, 65536> head_;      // newest position with a key, or -1
  std::array<int16_t, kDictSize> prev_;  // older position with the same key, or -1
  size_t control_at_ = 0;
  int bit_ = 8;
};

bool Decode(std::string_view data, size_t raw_size, std::string* out) {
  Dictionary dict;
  out->clear();
  out->reserve(std::min(raw_size, data.size() * 9));
  size_t i = 0;
  bool ended = false;
  while (!ended && i < data.size() && out->size() < raw_size) {
    const auto control = static_cast<uint8_t>(data[i++]);
    for (int bit = 0; bit < 8 && i < data.size() && out->size() < raw_size; ++bit) {
      if ((control & (1 << bit)) == 0) {
        const auto b = static_cast<uint8_t>(data[i++]);
        out->push_back(static_cast<char>(b));
        dict.Put(b);
        continue;
      }
      if (data.size() - i < 2) return false;
      const size_t ref = (static_cast<uint8_t>(data[i]) << 8) | static_cast<uint8_t>(data[i + 1]);
      i += 2;
      const size_t off = ref >> 4;
      if (off == dict.write) {
        ended = true;
        break;
      }
      const size_t len = (ref & 0xF) + 2;
      for (size_t k = 0; k < len; ++k) {
        const uint8_t b = dict.bytes[(off + k) & kDictMask];
        out->push_back(static_cast<char>(b));
        dict.Put(b);
      }
    }
  }
  // The header's size decides: fewer bytes is corrupt, more are cut off. Data
  // that stops without its end reference is accepted when complete.
  if (out->size() < raw_size) return false;
  out->resize(raw_size);
  return true;
}

// ---- The stream ----

// Uncompressed RTF over a compressed stream. Read mode decodes the whole
// inner stream on first use; write mode collects the RTF and encodes it into
// the inner stream on Commit, or on the last Release when uncommitted writes
// remain. Calls are serialised by mu_.
class RtfStream final : public ComObject<IStream> {
 public:
  RtfStream(IStream* inner, bool writable, bool uncompressed)
      : inner_(inner), writable_(writable), uncompressed_(uncompressed), loaded_(writable) {
    inner_->AddRef();
  }

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead != nullptr) *pcbRead = 0;
    if (pv == nullptr && cb > 0) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mu_);
    HRESULT hr = LoadLocked();
    if (FAILED(hr)) return hr;
    const size_t n = pos_ < data_.size() ? std::min<size_t>(cb, data_.size() - pos_) : 0;
    if (n > 0) std::memcpy(pv, data_.data() + pos_, n);
    pos_ += n;
    if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(n);
    return S_OK;
  }

  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten != nullptr) *pcbWritten = 0;
    if (!writable_) return MAPI_E_NO_ACCESS;
    if (pv == nullptr && cb > 0) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mu_);
    try {
      if (data_.size() < pos_ + cb) data_.resize(pos_ + cb);
    } catch (const std::bad_alloc&) {
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    if (cb > 0) std::memcpy(data_.data() + pos_, pv, cb);
    pos_ += cb;
    dirty_ = true;
    if (pcbWritten != nullptr) *pcbWritten = cb;
    return S_OK;
  }

  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_pos) override {
    std::lock_guard<std::mutex> lock(mu_);
    HRESULT hr = LoadLocked();
    if (FAILED(hr)) return hr;
    int64_t base = 0;
    switch (origin) {
      case STREAM_SEEK_SET:
        break;
      case STREAM_SEEK_CUR:
        base = static_cast<int64_t>(pos_);
        break;
      case STREAM_SEEK_END:
        base = static_cast<int64_t>(data_.size());
        break;
      default:
        return MAPI_E_INVALID_PARAMETER;
    }
    const int64_t target = base + move.QuadPart;
    if (target < 0 || target > static_cast<int64_t>(UINT32_MAX)) return MAPI_E_INVALID_PARAMETER;
    pos_ = static_cast<size_t>(target);
    if (new_pos != nullptr) new_pos->QuadPart = pos_;
    return S_OK;
  }

  HRESULT SetSize(ULARGE_INTEGER size) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    if (size.QuadPart > UINT32_MAX) return MAPI_E_NOT_ENOUGH_MEMORY;
    std::lock_guard<std::mutex> lock(mu_);
    try {
      data_.resize(static_cast<size_t>(size.QuadPart));
    } catch (const std::bad_alloc&) {
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    dirty_ = true;
    return S_OK;
  }

  HRESULT Commit(DWORD flags) override {
    if (!writable_) return S_OK;
    std::lock_guard<std::mutex> lock(mu_);
    return FlushLocked(flags);
  }

  // Write mode: back to what was last committed.
  HRESULT Revert() override {
    std::lock_guard<std::mutex> lock(mu_);
    if (writable_) {
      data_ = committed_;
      pos_ = 0;
      dirty_ = false;
    }
    return S_OK;
  }

  HRESULT Stat(STATSTG* st, DWORD /*flags*/) override {
    if (st == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mu_);
    HRESULT hr = LoadLocked();
    if (FAILED(hr)) return hr;
    std::memset(st, 0, sizeof(*st));
    st->type = 2;  // STGTY_STREAM
    st->cbSize.QuadPart = data_.size();
    st->grfMode = writable_ ? STGM_READWRITE : STGM_READ;
    return S_OK;
  }

 protected:
  bool Supports(REFIID riid) const override { return SameIid(riid, IID_IStream); }

 private:
  ~RtfStream() override {
    if (dirty_) (void)FlushLocked(0);  // last reference: no other caller
  }

  HRESULT LoadLocked() {
    if (loaded_) return S_OK;
    try {
      LARGE_INTEGER zero;
      zero.QuadPart = 0;
      HRESULT hr = inner_->Seek(zero, STREAM_SEEK_SET, nullptr);
      if (FAILED(hr)) return hr;
      std::string blob;
      std::vector<char> chunk(64 * 1024);
      while (true) {
        ULONG got = 0;
        hr = inner_->Read(chunk.data(), static_cast<ULONG>(chunk.size()), &got);
        if (FAILED(hr)) return hr;
        if (got == 0) break;
        blob.append(chunk.data(), got);
      }
      // A property that was never written reads as empty RTF.
      if (!blob.empty() && !DecompressRtf(blob, &data_)) return MAPI_E_CORRUPT_DATA;
    } catch (const std::bad_alloc&) {
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    loaded_ = true;
    return S_OK;
  }

  HRESULT FlushLocked(DWORD flags) {
    try {
      const std::string blob = uncompressed_ ? WrapRtfUncompressed(data_) : CompressRtf(data_);
      LARGE_INTEGER zero;
      zero.QuadPart = 0;
      ULARGE_INTEGER size;
      size.QuadPart = blob.size();
      HRESULT hr = inner_->Seek(zero, STREAM_SEEK_SET, nullptr);
      if (SUCCEEDED(hr)) hr = inner_->SetSize(size);
      for (size_t done = 0; SUCCEEDED(hr) && done < blob.size();) {
        ULONG wrote = 0;
        hr = inner_->Write(blob.data() + done, static_cast<ULONG>(blob.size() - done), &wrote);
        if (SUCCEEDED(hr) && wrote == 0) hr = MAPI_E_CALL_FAILED;  // no progress
        done += wrote;
      }
      if (SUCCEEDED(hr)) hr = inner_->Commit(flags);
      if (FAILED(hr)) return hr;
      committed_ = data_;
      dirty_ = false;
      return S_OK;
    } catch (const std::bad_alloc&) {
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
  }

  std::mutex mu_;
  ComPtr<IStream> inner_;  // constant after construction
  const bool writable_;
  const bool uncompressed_;  // write the "MELA" form
  bool loaded_;              // guarded by mu_; data_ holds the inner stream's RTF
  bool dirty_ = false;       // guarded by mu_; writes since the last commit
  std::string data_;         // guarded by mu_
  std::string committed_;    // guarded by mu_; write mode: the last committed RTF
  size_t pos_ = 0;           // guarded by mu_
};

}  // namespace

std::string CompressRtf(std::string_view rtf) { return Encoder(rtf).Run(); }

std::string WrapRtfUncompressed(std::string_view rtf) {
  std::string out(kHeaderSize, '\0');
  out.append(rtf);
  WriteHeader(&out, static_cast<uint32_t>(rtf.size()), kMela, 0);
  return out;
}

bool DecompressRtf(std::string_view compressed, std::string* rtf) {
  if (rtf == nullptr || compressed.size() < kHeaderSize) return false;
  const uint32_t comp_size = LoadU32(compressed.data());
  const uint32_t raw_size = LoadU32(compressed.data() + 4);
  const uint32_t kind = LoadU32(compressed.data() + 8);
  const uint32_t crc = LoadU32(compressed.data() + 12);
  if (comp_size < kHeaderSize - 4 ||
      comp_size - (kHeaderSize - 4) > compressed.size() - kHeaderSize) {
    return false;
  }
  const std::string_view data = compressed.substr(kHeaderSize, comp_size - (kHeaderSize - 4));
  if (kind == kMela) {
    if (raw_size > data.size()) return false;
    rtf->assign(data.substr(0, raw_size));
    return true;
  }
  if (kind != kLzfu || Crc(data) != crc) return false;
  return Decode(data, raw_size, rtf);
}

}  // namespace zuvstore

extern "C" HRESULT WrapCompressedRTFStream(LPSTREAM lpCompressedRTFStream, ULONG ulFlags,
                                           LPSTREAM* lpUncompressedRTFStream) {
  if (lpUncompressedRTFStream == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lpUncompressedRTFStream = nullptr;
  if (lpCompressedRTFStream == nullptr) return MAPI_E_INVALID_PARAMETER;
  auto* stream =
      new (std::nothrow) zuvstore::RtfStream(lpCompressedRTFStream, (ulFlags & MAPI_MODIFY) != 0,
                                             (ulFlags & STORE_UNCOMPRESSED_RTF_FLAG) != 0);
  if (stream == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lpUncompressedRTFStream = stream;
  return S_OK;
}
