// Image output: the FITS writer (written by the system itself) and the 16-bit
// TIFF writer (through libtiff). Each writes its header, then runs the readout
// with its own row sink so that each row reaches the file as it arrives, and
// ends the process through write_failed (status 2) on any failure.
#pragma once

#include <tiffio.h>

#include <cstdio>

#include "camera/camera.h"

// Writes the whole FITS file to the stream's descriptor and closes it.
void write_fits(FILE* stream, ExposureRequest& request);
// Mirrors the row, stores it big-endian and writes it to the descriptor in
// *context (an int); 0 when the whole row was written, else 1.
int fits_row_sink(void* context, ExposureRequest* request, uint16_t* row);

// Writes the whole TIFF file through libtiff on the stream's descriptor.
void write_tiff(FILE* stream, const char* path, ExposureRequest& request);
// Writes the row as scanline rows_read - 1 of the TIFF* context; 0 on success, else 1.
int tiff_row_sink(void* context, ExposureRequest* request, uint16_t* row);
// Sets one tag through TIFFVSetField; reports a refusal on standard error and
// returns libtiff's result, which never stops the writer.
int set_tiff_tag(TIFF* tiff, int tag, ...);
