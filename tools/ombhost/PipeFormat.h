// Between the pipe's formats (integer PCM as the device carries it) and the
// sample formats of WAV files.
#pragma once

#include <stddef.h>
#include <string>
#include "WavFormat.h"
#include "ombapi.h"

namespace ombhost {

// A pipe format as a WAV file lays it out: BPS valid bits on top of
// BPC-byte containers, 8 bits unsigned, the pipe's speaker mask.
wav::Format ToWav(const Ombrivo::WaveFormat &pipe);

// The pipe format that carries a file's samples: its own layout for PCM
// (the standard speaker mask when the file names none), 32-bit PCM for
// float. Empty, or why the device cannot take the file.
std::string FromWav(const wav::Format &file, Ombrivo::WaveFormat &pipe);

// Reads "SR,BPS,NC[,BPC[,CC]]" (the --format option): BPC 0 or left out
// derives the container from the bits, CC left out asks for the standard
// speaker mask. Empty, or the one-line reason it is refused.
std::string ParseFormat(const std::string &text, Ombrivo::WaveFormat &format);

// "48000/16(2)/2(3)", as the library prints formats.
std::string Text(const Ombrivo::WaveFormat &format);

// Writes `frames` frames of silence (8-bit silence is 128).
void FillSilence(const wav::Format &format, void *frames, size_t count);

} // namespace ombhost
