#include "png_writer.h"

#include <png.h>

#include <cstdio>
#include <new>

namespace ruv::ruvdec {

namespace {

// What the libpng calls need. Kept free of C++ objects with destructors, because
// libpng reports errors by a long jump out of its calls.
struct png_job {
    std::vector<uint8_t>* out;
    const uint8_t* rgb32;
    int32_t width;
    int32_t height;
    uint8_t* row;
    char message[256];
};

void on_png_error(png_structp png, png_const_charp message) {
    png_job* job = static_cast<png_job*>(png_get_error_ptr(png));
    std::snprintf(job->message, sizeof job->message, "%s", message);
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// Appends to the memory buffer; an allocation failure becomes a libpng error,
// for no exception may pass through libpng's frames.
void on_png_write(png_structp png, png_bytep data, png_size_t size) {
    png_job* job = static_cast<png_job*>(png_get_io_ptr(png));
    bool grown = true;
    try {
        job->out->insert(job->out->end(), data, data + size);
    } catch (const std::bad_alloc&) {
        grown = false;
    }
    if (!grown) png_error(png, "out of memory");
}

void on_png_flush(png_structp) {}

bool encode(png_job& job) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &job, on_png_error, on_png_warning);
    if (!png) {
        std::snprintf(job.message, sizeof job.message, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(job.message, sizeof job.message, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &job, on_png_write, on_png_flush);
    // The fastest zlib level: at 1920 x 1080 it writes about four times as many
    // pictures a second as the default, for files about a tenth larger.
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, png_uint_32(job.width), png_uint_32(job.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t width = size_t(job.width);
    for (int32_t y = 0; y < job.height; ++y) {
        // RGB32 rows run bottom-up with B, G, R and luma in each pixel.
        const uint8_t* source = job.rgb32 + size_t(job.height - 1 - y) * width * 4;
        for (size_t x = 0; x < width; ++x) {
            job.row[3 * x] = source[4 * x + 2];
            job.row[3 * x + 1] = source[4 * x + 1];
            job.row[3 * x + 2] = source[4 * x];
        }
        png_write_row(png, job.row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool encode_png(const uint8_t* rgb32, int32_t width, int32_t height, std::vector<uint8_t>& png,
                std::string& error) {
    png.clear();
    std::vector<uint8_t> row(size_t(width) * 3);
    png_job job{&png, rgb32, width, height, row.data(), {}};
    if (!encode(job)) {
        error = job.message;
        return false;
    }
    return true;
}

}  // namespace ruv::ruvdec
