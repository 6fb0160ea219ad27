// Image output: the FITS writer (written by the system itself) and the 16-bit
// TIFF writer (through libtiff). Each writes its header, then runs the readout
// with its own row sink so that each row reaches the file as it arrives, and
// ends the process through write_failed (status 2) on any failure.
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "camera/camera.h"

// Writes the whole FITS file to the stream's descriptor, makes it and its
// directory entry durable (sync_output, sync_directory_entry of path) and
// closes it.
void write_fits(FILE* stream, const char* path, ExposureRequest& request);
// Mirrors the row, stores it big-endian and writes it to the descriptor in
// *context (an int); 0 when the whole row was written, else 1.
int fits_row_sink(void* context, ExposureRequest* request, uint16_t* row);

// Writes the whole TIFF file through libtiff on a duplicate of the stream's
// descriptor, makes it and its directory entry durable (sync_output,
// sync_directory_entry of path) and closes both descriptors.
void write_tiff(FILE* stream, const char* path, ExposureRequest& request);

// The TIFF row sink's state: the rows of one strip are collected in buffer
// until the strip is full, or the image's last row has come, and then handed
// to libtiff in one call, which lets a codec compress the strip as a whole.
struct TiffStrips {
  TIFF* tiff;
  uint32_t rows;                // rows of the image
  uint32_t rows_per_strip;
  tmsize_t scanline_bytes;      // libtiff's scanline: the bytes taken from each row
  std::span<uint8_t> buffer;    // holds rows_per_strip scanlines
  uint32_t next_row = 0;        // index of the row expected next
};
// Room for the rows of any strip of the layout below.
inline constexpr std::size_t TIFF_STRIP_BUFFER_SIZE = 131072;
// Copies the row's scanline into the strip of the TiffStrips* context (the
// row being rows_read - 1, the one expected next) and writes the strip when
// it is complete; 0 on success, else 1.
int tiff_row_sink(void* context, ExposureRequest* request, uint16_t* row);
// Sets one tag through TIFFVSetField; reports a refusal on standard error and
// returns libtiff's result, which never stops the writer.
int set_tiff_tag(TIFF* tiff, int tag, ...);

// Whether libtiff can encode a strip of one row of width 16-bit greyscale
// samples with this compression (and this predictor, when not 0), tried in
// memory: libtiff takes many codes as tags and fails only at the first strip
// (a codec for other sample kinds, or none at all). The writer refuses such a
// setting like a refused tag before the first row is read. libtiff's errors
// are printed as usual, with name as the file's name; its warnings are
// dropped (the file itself gives them).
bool tiff_strip_encodes(const char* name, uint32_t width, long compression, long predictor);

// Writes the file's data through to stable storage (fdatasync, or fsync
// where that is missing): 0 when it is there, -1 on failure. A descriptor
// that is not a regular file and does not support the call (a pipe,
// /dev/null) has nothing to make durable and gives 0.
int sync_output(int fd);
// Writes the directory entry of the regular file open on fd and named path
// (the directory holding the file, links followed) through to stable
// storage, so that a new file keeps its name after a crash: 0 when it is
// there, -1 on failure. Outputs that are not regular files, and a directory
// whose file system cannot sync it (EINVAL), give 0; a directory that cannot
// be read is covered by syncing the file's whole file system.
int sync_directory_entry(int fd, const char* path);

// FITS blocks and header cards.
inline constexpr std::size_t FITS_BLOCK_SIZE = 2880;
inline constexpr std::size_t FITS_CARD_SIZE = 80;
// Offset added to every stored sample: the file holds signed 16-bit words and
// declares BZERO 32768, so readers get the camera's unsigned counts back.
inline constexpr uint16_t FITS_UNSIGNED_OFFSET = 32768;

// Formats the primary header of the request's image (cards SIMPLE to END,
// blank-filled, no NUL) into block; DATE-OBS is start_time in UTC,
// YYYY-MM-DDThh:mm:ss.
void format_fits_header(const ExposureRequest& request, std::span<char, FITS_BLOCK_SIZE> block);

// Strips of about 64 KiB: the count reported and the RowsPerStrip tag.
struct TiffStripLayout {
  long strips;
  long rows_per_strip;
};
// The strip layout of an image of width x height 16-bit samples.
TiffStripLayout tiff_strip_layout(uint32_t width, uint32_t height);

// Size of the ImageDescription text and the most the comment contributes.
inline constexpr std::size_t TIFF_DESCRIPTION_SIZE = 2000;
inline constexpr std::size_t TIFF_COMMENT_LIMIT = 1800;
// Formats the ImageDescription: the comment's first 1800 characters and a
// newline when comment is not null, then "Exposed <seconds> seconds <binning>".
void format_tiff_description(std::span<char, TIFF_DESCRIPTION_SIZE> text, const char* comment,
                             const ExposureRequest& request);
