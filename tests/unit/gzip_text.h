// Gzip as the tests and the fuzz target make and read it, through zlib alone: text packed
// into members cut where asked, and packed bytes read back the way gzip reads them. The
// reader's own inflaters (ISA-L, libdeflate, zlib) are checked against the second.
#pragma once

#include <zlib.h>

#include <cstdlib>
#include <string>
#include <vector>

// text as gzip members cut at the given content offsets (ascending), at a compression level.
inline std::string gzip_members(const std::string &text, std::vector<size_t> cuts, int level) {
    cuts.push_back(text.size());
    std::string packed;
    size_t begin = 0;
    for (size_t end : cuts) {
        z_stream z = {};
        if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) abort();
        std::string member(deflateBound(&z, uLong(end - begin)), '\0');
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data() + begin));
        z.avail_in = uInt(end - begin);
        z.next_out = reinterpret_cast<Bytef *>(&member[0]);
        z.avail_out = uInt(member.size());
        if (deflate(&z, Z_FINISH) != Z_STREAM_END) abort();
        member.resize(member.size() - z.avail_out);
        deflateEnd(&z);
        packed += member;
        begin = end;
    }
    return packed;
}

// The bytes of text as one gzip member.
inline std::string gzipped(const std::string &text) { return gzip_members(text, {}, Z_DEFAULT_COMPRESSION); }

// The content of packed read as gzip members back to back, as gzip reads them: bytes after
// a member that do not begin another are ignored. False when the bytes are not whole
// members; content then holds what zlib yields before the damage. Stops early, with true,
// once the content passes max_bytes.
inline bool zlib_content(const std::string &packed, std::string *content, size_t max_bytes = SIZE_MAX) {
    z_stream z = {};
    if (inflateInit2(&z, 15 + 16) != Z_OK) abort();
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.data()));
    z.avail_in = uInt(packed.size());
    content->clear();
    bool whole = false;
    std::vector<char> out(1 << 16);
    while (content->size() <= max_bytes) {
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = uInt(out.size());
        const int status = inflate(&z, Z_NO_FLUSH);
        content->append(out.data(), out.size() - z.avail_out);
        if (status == Z_STREAM_END) {
            if (z.avail_in < 2 || z.next_in[0] != 0x1f || z.next_in[1] != 0x8b) {
                whole = true;
                break;
            }
            inflateReset(&z);
        } else if (status != Z_OK) {
            break;  // damaged, or it stops short (no progress without more input)
        }
    }
    if (content->size() > max_bytes) whole = true;
    inflateEnd(&z);
    return whole;
}
