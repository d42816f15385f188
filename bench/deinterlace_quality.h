// The de-interlacing quality table of the pipeline benchmark.
#pragma once

// Renders the test sequences, de-interlaces them with every method and prints
// the table and the time per frame of ours and the library filters.
void PrintDeinterlaceQuality(int frames);
