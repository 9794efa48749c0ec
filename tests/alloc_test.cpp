// Decoding a frame allocates nothing: every operator new of this program is
// counted, and no decode call may add to the count. Only setup allocates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "decoder.h"
#include "stream_writer.h"
#include "synthetic.h"

namespace {
size_t allocations = 0;

void* counted(size_t n) {
    ++allocations;
    return std::malloc(n ? n : 1);
}
}  // namespace

void* operator new(size_t n) {
    if (void* p = counted(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return counted(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return counted(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace ruv {
namespace {

TEST(Allocation, NoneWhileDecoding) {
    const int32_t w = 64, h = 32;
    for (uint32_t mode = 0; mode <= 4; ++mode) {
        for (uint32_t compression : {compression_yuy2, compression_rgb32}) {
            for (const kernel_level& level : kernel_levels(detected_kernel_mask())) {
                stream_writer writer;
                ASSERT_TRUE(writer.setup(w, h, mode));
                const encoded_frame key = writer.write_intra(synthetic_picture(w, h, 0));
                const encoded_frame greedy = writer.write_delta(synthetic_picture(w, h, 1), 2);
                const encoded_frame random = writer.write_random_delta(mode);
                DecoderContext ctx;
                ctx.m_kernel_mask = level.mask;
                ASSERT_TRUE(ctx.setup(w, h, mode, compression));
                std::vector<uint8_t> out(ctx.output_size());
                const size_t before = allocations;
                ctx.decode_intra(out.data(), key.bytes.data(), key.bytes.size());
                ctx.decode_delta(out.data(), greedy.bytes.data(), greedy.bytes.size());
                ctx.decode_delta(out.data(), random.bytes.data(), random.bytes.size());
                ctx.decode_delta(out.data(), random.bytes.data(), random.bytes.size() / 2);
                EXPECT_EQ(allocations, before) << "mode " << mode << " " << level.name;
            }
        }
    }
}

}  // namespace
}  // namespace ruv
