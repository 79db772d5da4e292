// Tests of compressed RTF: the published example, round trips through the
// encoder, corrupt blobs, and the stream WrapCompressedRTFStream returns.
#include "rtf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "com.h"

namespace zuvstore {
namespace {

uint32_t Field(const std::string& blob, size_t at) {
  uint32_t v;
  std::memcpy(&v, blob.data() + at, 4);
  return v;  // little-endian host
}

// CRC of the format, written out independently of rtf.cpp.
uint32_t TestCrc(std::string_view data) {
  uint32_t crc = 0;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

// "Compressing a simple string" from the published description of the format.
const unsigned char kExample[] = {0x2d, 0x00, 0x00, 0x00, 0x2b, 0x00, 0x00, 0x00, 0x4c, 0x5a,
                                  0x46, 0x75, 0xf1, 0xc5, 0xc7, 0xa7, 0x03, 0x00, 0x0a, 0x00,
                                  0x72, 0x63, 0x70, 0x67, 0x31, 0x32, 0x35, 0x42, 0x32, 0x0a,
                                  0xf3, 0x20, 0x68, 0x65, 0x6c, 0x09, 0x00, 0x20, 0x62, 0x77,
                                  0x05, 0xb0, 0x6c, 0x64, 0x7d, 0x0a, 0x80, 0x0f, 0xa0};
const char kExampleText[] = "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n";

std::string ExampleBlob() {
  return std::string(reinterpret_cast<const char*>(kExample), sizeof kExample);
}

TEST(RtfTest, PublishedExampleDecodesAndEncodesByteForByte) {
  const std::string blob = ExampleBlob();
  EXPECT_EQ(TestCrc(std::string_view(blob).substr(16)), Field(blob, 12));
  std::string rtf;
  ASSERT_TRUE(DecompressRtf(blob, &rtf));
  EXPECT_EQ(rtf, kExampleText);
  EXPECT_EQ(CompressRtf(kExampleText), blob);
}

TEST(RtfTest, AssortedInputsRoundTrip) {
  std::string long_rtf = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0 Calibri;}}\r\n";
  for (int i = 0; i < 400; ++i)
    long_rtf += "\\pard\\plain Line " + std::to_string(i) + " of the body\\par\r\n";
  long_rtf += "}";
  std::string noise(10000, '\0');
  std::mt19937 rng(7);
  for (char& c : noise) c = static_cast<char>(rng());
  const std::string inputs[] = {
      "",
      "x",
      std::string(1000, 'a'),  // runs that read what they write
      "abcabcabcabcabcabcabcabcabcabcab",
      std::string("\0\0\0\0\0\0\0\0\0\0", 10),  // zeros match unwritten dictionary space
      long_rtf,                                 // wraps the 4096-byte dictionary
      noise,
  };
  for (const std::string& in : inputs) {
    const std::string blob = CompressRtf(in);
    EXPECT_EQ(Field(blob, 0), blob.size() - 4);
    EXPECT_EQ(Field(blob, 4), in.size());
    EXPECT_EQ(TestCrc(std::string_view(blob).substr(16)), Field(blob, 12));
    std::string out;
    ASSERT_TRUE(DecompressRtf(blob, &out)) << in.size();
    EXPECT_EQ(out, in);
  }
  EXPECT_LT(CompressRtf(long_rtf).size(), long_rtf.size() / 4);
  EXPECT_LT(CompressRtf(std::string(1000, 'a')).size(), 200u);
}

TEST(RtfTest, CorruptBlobsAreRejected) {
  const std::string blob = ExampleBlob();
  std::string out;
  for (size_t n = 0; n < blob.size(); ++n) {
    EXPECT_FALSE(DecompressRtf(blob.substr(0, n), &out)) << n;
  }
  std::string mela = WrapRtfUncompressed("abc");
  mela[4] = 4;  // one byte more promised than there is
  const std::pair<size_t, char> damage[] = {
      {21, 'd'},  // a literal: only the CRC notices
      {8, 'X'},   // unknown kind
      {4, 0x2c},  // one byte more promised than the runs produce
  };
  for (const auto& [at, byte] : damage) {
    std::string d = blob;
    d[at] = byte;
    EXPECT_FALSE(DecompressRtf(d, &out)) << at;
  }
  EXPECT_FALSE(DecompressRtf(mela, &out));
  // Bytes after the stated size do not matter.
  ASSERT_TRUE(DecompressRtf(blob + "trailing", &out));
  EXPECT_EQ(out, kExampleText);

  // Damage behind a correct CRC reaches the decoder itself; ASan watches.
  const std::string big = CompressRtf(std::string(3000, 'q') + kExampleText);
  std::mt19937 rng(99);
  for (int round = 0; round < 500; ++round) {
    std::string d = big;
    for (int k = 0; k < 4; ++k) d[16 + rng() % (d.size() - 16)] = static_cast<char>(rng());
    const uint32_t crc = TestCrc(std::string_view(d).substr(16));
    std::memcpy(&d[12], &crc, 4);
    (void)DecompressRtf(d, &out);
  }
}

// ---- The stream ----

// An in-memory IStream that writes at most 100 bytes a call (callers must
// loop) and counts its commits.
class MemStream final : public ComObject<IStream> {
 public:
  static ComPtr<MemStream> Make(std::string data = "") {
    ComPtr<MemStream> s(new MemStream);
    s->data_ = std::move(data);
    return s;
  }
  HRESULT Read(void* pv, ULONG cb, ULONG* got) override {
    *got = static_cast<ULONG>(std::min<size_t>(cb, data_.size() - std::min(pos_, data_.size())));
    std::memcpy(pv, data_.data() + pos_, *got);
    pos_ += *got;
    return S_OK;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* wrote) override {
    *wrote = std::min<ULONG>(cb, 100);
    if (data_.size() < pos_ + *wrote) data_.resize(pos_ + *wrote);
    std::memcpy(&data_[pos_], pv, *wrote);
    pos_ += *wrote;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER*) override {
    pos_ = static_cast<size_t>(move.QuadPart);
    return origin == STREAM_SEEK_SET ? S_OK : E_NOTIMPL;
  }
  HRESULT SetSize(ULARGE_INTEGER size) override {
    data_.resize(static_cast<size_t>(size.QuadPart));
    return S_OK;
  }
  HRESULT Commit(DWORD) override {
    ++commits_;
    return S_OK;
  }
  HRESULT Revert() override { return S_OK; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }

  std::string data_;
  size_t pos_ = 0;
  int commits_ = 0;

 protected:
  bool Supports(REFIID riid) const override { return SameIid(riid, IID_IStream); }

 private:
  MemStream() = default;
  ~MemStream() override = default;
};

ComPtr<IStream> Wrap(IStream* inner, ULONG flags) {
  ComPtr<IStream> s;
  EXPECT_EQ(WrapCompressedRTFStream(inner, flags, s.put()), S_OK);
  return s;
}

std::string ReadAll(IStream* s, ULONG chunk) {
  std::string out, buf(chunk, '\0');
  ULONG got = 0;
  do {
    EXPECT_EQ(s->Read(buf.data(), chunk, &got), S_OK);
    out.append(buf.data(), got);
  } while (got > 0);
  return out;
}

std::string Decompressed(const std::string& blob) {
  std::string out;
  EXPECT_TRUE(DecompressRtf(blob, &out));
  return out;
}

TEST(RtfStreamTest, WritingStoresTheEncodedForm) {
  const std::string text = std::string(kExampleText) + std::string(500, 'z');
  auto inner = MemStream::Make(std::string(5000, '#'));  // older, longer content
  ComPtr<IStream> s = Wrap(inner.get(), MAPI_MODIFY);
  ULONG wrote = 0;
  ASSERT_EQ(s->Write(text.data(), 10, &wrote), S_OK);
  ASSERT_EQ(s->Write(text.data() + 10, static_cast<ULONG>(text.size() - 10), &wrote), S_OK);
  EXPECT_EQ(wrote, text.size() - 10);
  STATSTG st;
  ASSERT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, text.size());
  EXPECT_EQ(inner->commits_, 0);
  ASSERT_EQ(s->Commit(0), S_OK);
  EXPECT_EQ(inner->commits_, 1);
  EXPECT_EQ(inner->data_.substr(8, 4), "LZFu");
  EXPECT_EQ(Decompressed(inner->data_), text);
  EXPECT_EQ(Field(inner->data_, 0), inner->data_.size() - 4);  // the old tail is gone

  auto plain = MemStream::Make();
  ComPtr<IStream> u = Wrap(plain.get(), MAPI_MODIFY | STORE_UNCOMPRESSED_RTF_FLAG);
  ASSERT_EQ(u->Write(kExampleText, sizeof kExampleText - 1, &wrote), S_OK);
  ASSERT_EQ(u->Commit(0), S_OK);
  EXPECT_EQ(plain->data_.substr(8, 8), std::string("MELA\0\0\0\0", 8));  // CRC 0
  EXPECT_EQ(plain->data_.substr(16), kExampleText);
  EXPECT_EQ(Decompressed(plain->data_), kExampleText);

  // Text written and never committed is stored when the last reference goes.
  auto late = MemStream::Make();
  ASSERT_EQ(Wrap(late.get(), MAPI_MODIFY)->Write("{\\rtf1 x}", 9, &wrote), S_OK);
  EXPECT_EQ(Decompressed(late->data_), "{\\rtf1 x}");
}

TEST(RtfStreamTest, ReadingServesTheDecodedText) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "\\par line " + std::to_string(i);
  auto inner = MemStream::Make(CompressRtf(text));
  ComPtr<IStream> s = Wrap(inner.get(), 0);
  STATSTG st;
  ASSERT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, text.size());
  EXPECT_EQ(ReadAll(s.get(), 7), text);
  LARGE_INTEGER back;
  back.QuadPart = -5;
  ULARGE_INTEGER pos;
  ASSERT_EQ(s->Seek(back, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos.QuadPart, text.size() - 5);
  EXPECT_EQ(ReadAll(s.get(), 64), text.substr(text.size() - 5));
  ULONG got = 1;
  EXPECT_EQ(s->Write("x", 1, &got), MAPI_E_NO_ACCESS);

  auto empty = MemStream::Make();
  EXPECT_EQ(ReadAll(Wrap(empty.get(), 0).get(), 8), "");
  auto corrupt = MemStream::Make("not compressed rtf at all");
  char buf[8];
  EXPECT_EQ(Wrap(corrupt.get(), 0)->Read(buf, sizeof buf, &got), MAPI_E_CORRUPT_DATA);
  EXPECT_EQ(got, 0u);

  IStream* out = reinterpret_cast<IStream*>(1);
  EXPECT_EQ(WrapCompressedRTFStream(nullptr, 0, &out), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(WrapCompressedRTFStream(empty.get(), 0, nullptr), MAPI_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace zuvstore
