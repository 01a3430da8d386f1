#include "cloud/compression.hpp"

#define ZLIB_CONST
#include <zlib.h>

#include <limits>

#include "common/log.hpp"

namespace lld {
namespace {

constexpr int kGzipWindowBits = 15 + 16;  // 32 KiB window, gzip header and trailer
constexpr int kMemLevel = 8;
constexpr std::size_t kInflateRatio = 10;

const char* zlib_message(const z_stream& stream) {
    return stream.msg != nullptr ? stream.msg : "(null)";
}

// zlib takes buffer sizes as uInt and every step here runs in one call.
bool fits_zlib(std::size_t size) {
    return size <= std::numeric_limits<uInt>::max();
}

// Owns a z_stream once its init has succeeded. end() ends it exactly once on the success path,
// where its result is reported; the failure paths leave the ending to the destructor.
template <int (*End)(z_streamp)>
class ZStream {
  public:
    ZStream() = default;
    ZStream(const ZStream&) = delete;
    ZStream& operator=(const ZStream&) = delete;
    ~ZStream() {
        if (live_) {
            End(&stream_);
        }
    }

    z_stream& get() { return stream_; }
    int started(int init_result) {
        live_ = init_result == Z_OK;
        return init_result;
    }
    void end(const char* step, const char* end_name) {
        live_ = false;
        if (const int result = End(&stream_); result != Z_OK) {
            log_error("%s: %s failed (err=%d, %s). Ignoring error.", step, end_name, result,
                      zlib_message(stream_));
        }
    }

  private:
    z_stream stream_{};
    bool live_ = false;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> gzip_compress(std::string_view plain) {
    constexpr const char* kStep = "haa_compress";
    ZStream<deflateEnd> guard;
    z_stream& stream = guard.get();
    const int init = guard.started(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED,
                                                kGzipWindowBits, kMemLevel, Z_DEFAULT_STRATEGY));
    if (init != Z_OK) {
        log_error("%s: deflateInit2 returned %d", kStep, init);
        return std::nullopt;
    }
    const uLong bound = deflateBound(&stream, plain.size());
    if (!fits_zlib(plain.size()) || !fits_zlib(bound)) {
        log_error("%s: malloc failed", kStep);
        return std::nullopt;
    }
    std::vector<std::uint8_t> compressed(bound);
    stream.next_in = reinterpret_cast<const Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = compressed.data();
    stream.avail_out = static_cast<uInt>(compressed.size());
    if (const int result = deflate(&stream, Z_FINISH); result != Z_STREAM_END) {
        log_error("%s: deflate failed (err=%d).", kStep, result);
        return std::nullopt;
    }
    compressed.resize(stream.total_out);
    guard.end(kStep, "deflateEnd");
    log_debug("%s: uncompressed size=%zu, compressed size=%lu", kStep, plain.size(),
              stream.total_out);
    return compressed;
}

std::optional<std::string> gzip_decompress(std::span<const std::uint8_t> compressed) {
    constexpr const char* kStep = "haa_decompress";
    ZStream<inflateEnd> guard;
    z_stream& stream = guard.get();
    const int init = guard.started(inflateInit2(&stream, kGzipWindowBits));
    if (init != Z_OK) {
        log_error("%s: inflateInit2 returned %d.", kStep, init);
        return std::nullopt;
    }
    if (compressed.size() > std::numeric_limits<uInt>::max() / kInflateRatio) {
        log_error("%s: malloc failed.", kStep);
        return std::nullopt;
    }
    std::string plain(kInflateRatio * compressed.size(), '\0');
    stream.next_in = compressed.data();
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(plain.data());
    stream.avail_out = static_cast<uInt>(plain.size());
    if (const int result = inflate(&stream, Z_FINISH); result != Z_STREAM_END) {
        log_error("%s: inflate failed (err=%d).", kStep, result);
        return std::nullopt;
    }
    plain.resize(stream.total_out);
    guard.end(kStep, "inflateEnd");
    log_debug("%s: compressed size=%zu, decompressed size=%lu", kStep, compressed.size(),
              stream.total_out);
    return plain;
}

}  // namespace lld
