// rtf.h: the compressed RTF format of PR_RTF_COMPRESSED, in memory.
//
// A blob is a 16-byte header (u32 size of the rest after this field, u32 RTF
// size, u32 "LZFu" or "MELA", u32 CRC of the data after the header) and the
// data: LZ runs over a 4096-byte dictionary that starts with a fixed RTF
// prelude ("LZFu"), or the RTF as it is ("MELA", CRC 0).
//
// Thread safety: plain functions; no shared state.
#pragma once

#include <string>
#include <string_view>

namespace zuvstore {

// The "LZFu" form of rtf. REQUIRES: rtf.size() < 4 GiB.
std::string CompressRtf(std::string_view rtf);

// The "MELA" form of rtf: header and the bytes unchanged.
std::string WrapRtfUncompressed(std::string_view rtf);

// Decodes a blob of either form into *rtf. Returns false for a blob that is
// corrupt (short header, sizes past its end, unknown kind, CRC mismatch, a
// reference cut off, fewer bytes than the header promises); *rtf may then
// hold part of the text. Bytes past the header's size are ignored.
[[nodiscard]] bool DecompressRtf(std::string_view compressed, std::string* rtf);

}  // namespace zuvstore
