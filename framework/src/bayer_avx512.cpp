// SPDX-License-Identifier: LGPL-2.1-or-later
// The AVX2 Bayer routines built again for processors with AVX-512 (BW and
// VL), as the table avx512_bayer. The code is the same 256-bit code; the
// AVX-512 encoding gives it 32 vector registers instead of 16, so that the
// colour kernels keep the neighbours of a block in registers, and
// three-input logic. It gives the same bytes as every other path.
#define KOV_BAYER_VECTOR_TABLE avx512_bayer
#include "bayer_avx2.cpp"
