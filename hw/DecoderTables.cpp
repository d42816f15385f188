// Register tables of the bridge and the three decoders, and the walkers that
// write them.
#include "hw/Hardware.h"

// ------------------------------------------------------------ bridge ----
// Start-up tables of the bridge. Rows 14-21 are the capture window; as
// 16-bit values (horizontal start, vertical start, horizontal end, vertical
// end): type 110 92, 1, 1372, 241; type 111 56, 3, 1336, 243; alternate
// type 111 8, 19, 1288, 259; type 113 72, 13, 1352, 253; 625-line type 113
// 72, 1, 1352, 285. The horizontal span is 1280 in every variant.
const BridgeStartupRow BridgeStartupTable[BRIDGE_STARTUP_PAIRS] = {
    //          type 110  type 111  alt. 111  type 113  625-line 113
    /*  1 */ {0x000, {0x20, 0x20, 0x20, 0x28, 0x28}},
    /*  2 */ {0x002, {0x68, 0x68, 0x68, 0x68, 0x68}},
    /*  3 */ {0x00D, {0x00, 0x00, 0x00, 0x00, 0x00}},
    /*  4 */ {0x00F, {0x02, 0x02, 0x02, 0x02, 0x02}},
    /*  5 */ {0x300, {0x12, 0x12, 0x12, 0x12, 0x12}},
    /*  6 */ {0x350, {0x2D, 0x2D, 0x2D, 0x2D, 0x2D}},
    /*  7 */ {0x351, {0x01, 0x01, 0x01, 0x01, 0x01}},
    /*  8 */ {0x352, {0x00, 0x00, 0x00, 0x00, 0x00}},
    /*  9 */ {0x353, {0x00, 0x00, 0x00, 0x00, 0x00}},
    /* 10 */ {0x300, {0x80, 0x80, 0x80, 0x80, 0x80}},
    /* 11 */ {0x018, {0x10, 0x10, 0x10, 0x10, 0x10}},
    /* 12 */ {0x019, {0x00, 0x00, 0x00, 0x00, 0x00}},
    /* 13 */ {0x202, {0x1E, 0x1E, 0x1E, 0x1E, 0x1E}},
    /* 14 */ {0x110, {0x5C, 0x38, 0x08, 0x48, 0x48}},
    /* 15 */ {0x111, {0x00, 0x00, 0x00, 0x00, 0x00}},
    /* 16 */ {0x112, {0x01, 0x03, 0x13, 0x0D, 0x01}},
    /* 17 */ {0x113, {0x00, 0x00, 0x00, 0x00, 0x00}},
    /* 18 */ {0x114, {0x5C, 0x38, 0x08, 0x48, 0x48}},
    /* 19 */ {0x115, {0x05, 0x05, 0x05, 0x05, 0x05}},
    /* 20 */ {0x116, {0xF1, 0xF3, 0x03, 0xFD, 0x1D}},
    /* 21 */ {0x117, {0x00, 0x00, 0x01, 0x00, 0x01}},
    /* 22 */ {0x100, {0x33, 0x33, 0x33, 0x33, 0x33}},
};
static_assert(sizeof(BridgeStartupTable) / sizeof(BridgeStartupTable[0]) == BRIDGE_STARTUP_PAIRS,
              "22 pairs per start-up table");

NTSTATUS WriteBridgeStartupTable(DeviceContext* Context, BridgeStartupTableId Table, BOOLEAN StopAtFailure)
{
    NTSTATUS status = STATUS_SUCCESS;
    if ((ULONG)Table >= BridgeStartupTableCount) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < BRIDGE_STARTUP_PAIRS; ++i) {
        const BridgeStartupRow* row = &BridgeStartupTable[i];
        status = WriteRegister(Context, row->reg, row->value[Table]);
        if (StopAtFailure && status != STATUS_SUCCESS) {
            break;
        }
    }
    return status;
}

// ------------------------------------------------------- decoder 0x88 ----
namespace {

const RegisterPair kDecoder88Pairs[] = {
    {0x02, 0x40}, {0x03, 0xA2}, {0x06, 0x40}, {0x08, 0x13}, {0x0A, 0x85}, {0x20, 0x50},
};
static_assert(ARRAYSIZE(kDecoder88Pairs) == 6, "type-110 decoder table has 6 pairs");

}  // namespace

const RegisterTable DecoderTable88 = {kDecoder88Pairs, ARRAYSIZE(kDecoder88Pairs)};

// ------------------------------------------------------- decoder 0x4A ----
// Type 111: one table whose variants differ in two values.
namespace {

struct Decoder4ARow {
    USHORT reg;
    USHORT ntscValue;   // standard index 1
    USHORT otherValue;  // every other standard
};

const Decoder4ARow kDecoder4ATable[] = {
    //  reg   NTSC  other
    {0x01, 0x08, 0x08}, {0x02, 0x80, 0x80}, {0x03, 0x33, 0x33}, {0x04, 0x00, 0x00},
    {0x05, 0x00, 0x00}, {0x06, 0xE9, 0xE9}, {0x07, 0x0D, 0x0D}, {0x08, 0x58, 0x18},
    {0x09, 0x09, 0x09}, {0x0A, 0x80, 0x80}, {0x0B, 0x47, 0x47}, {0x0C, 0x40, 0x40},
    {0x0D, 0x00, 0x00}, {0x0E, 0x01, 0x01}, {0x0F, 0x2A, 0x2A}, {0x10, 0x00, 0x00},
    {0x11, 0x0C, 0x0C}, {0x12, 0xE7, 0xE7}, {0x13, 0x00, 0x00}, {0x15, 0x00, 0x00},
    {0x16, 0x00, 0x00}, {0x40, 0x02, 0x02}, {0x41, 0x00, 0x00}, {0x42, 0x54, 0x54},
    {0x43, 0x0A, 0x0A}, {0x44, 0x83, 0x83}, {0x45, 0x00, 0x00}, {0x58, 0x40, 0x40},
    {0x59, 0x54, 0x54}, {0x5A, 0x0A, 0x07}, {0x5B, 0x83, 0x83},
};
static_assert(ARRAYSIZE(kDecoder4ATable) == 31, "type-111 decoder table has 31 pairs");

}  // namespace

VOID InitDecoder4A(DeviceContext* Context)
{
    const BOOLEAN ntsc = Context->standardIndex == STANDARD_INDEX_NTSC;
    for (ULONG i = 0; i < ARRAYSIZE(kDecoder4ATable); ++i) {
        const Decoder4ARow* row = &kDecoder4ATable[i];
        I2cWriteAt(Context, Context->decoderI2cAddress, row->reg, ntsc ? row->ntscValue : row->otherValue);
    }
}

// --------------------------------------------------------- decoder 5150 ----
namespace {

const RegisterPair kShortPairs[] = {
    {0x08, 0x08}, {0x0F, 0x0A}, {0x30, 0x01}, {0x03, 0x6F},
};
static_assert(ARRAYSIZE(kShortPairs) == 4, "short table has 4 pairs");

// The patch table: preamble, one register-0x7E pair per image byte, the
// closing 0x7F pair and the postamble. Built at compile time from the image
// pattern, so it lives in read-only data like every other table.
constexpr RegisterPair kPatchPreamble[] = {
    {0x21, 0x51}, {0x22, 0x50}, {0x23, 0xFF}, {0x24, 0x04},
};
constexpr RegisterPair kPatchEnd = {DECODER_PATCH_END_REGISTER, 0x00};
constexpr RegisterPair kPatchPostamble[] = {
    {0x21, 0x00}, {0x22, 0x00}, {0x23, 0xFF}, {0x24, 0x04}, {0x0F, 0x0A}, {0x03, 0x6F},
};
static_assert(ARRAYSIZE(kPatchPreamble) + DECODER_PATCH_IMAGE_BYTES + 1 + ARRAYSIZE(kPatchPostamble) ==
                  DECODER_PATCH_TABLE_PAIRS,
              "patch table layout");
static_assert(DECODER_PATCH_TABLE_PAIRS == 1727, "the patch table has 1727 pairs");

struct PatchPairs {
    RegisterPair pairs[DECODER_PATCH_TABLE_PAIRS];
};

constexpr PatchPairs BuildPatchPairs()
{
    PatchPairs table{};
    ULONG at = 0;
    for (const RegisterPair& pair : kPatchPreamble) {
        table.pairs[at++] = pair;
    }
    for (ULONG i = 0; i < DECODER_PATCH_IMAGE_BYTES; ++i) {
        table.pairs[at++] = RegisterPair{DECODER_PATCH_IMAGE_REGISTER, DecoderPatchImageByte(i)};
    }
    table.pairs[at++] = kPatchEnd;
    for (const RegisterPair& pair : kPatchPostamble) {
        table.pairs[at++] = pair;
    }
    return table;
}

constexpr PatchPairs kPatchPairs = BuildPatchPairs();

// 5150 standard tables; register 0x28 receives the standard: 0x02 NTSC,
// 0x04 PAL, 0x06 PAL-M, 0x08 PAL-N, 0x0C SECAM.
const RegisterPair k5150Ntsc[] = {{0x08, 0x08}, {0x28, 0x02}, {0x30, 0x01}, {0x0F, 0x0A}};
const RegisterPair k5150Pal[] = {{0x08, 0x08}, {0x28, 0x04}, {0x30, 0x00}, {0x0F, 0x0A}};
const RegisterPair k5150Secam[] = {{0x08, 0x08}, {0x28, 0x0C}, {0x30, 0x00}, {0x0F, 0x0A}};
const RegisterPair k5150PalM[] = {{0x08, 0x08}, {0x04, 0xD8}, {0x28, 0x06}, {0x30, 0x01}, {0x0F, 0x0A}};
const RegisterPair k5150PalN[] = {{0x08, 0x08}, {0x04, 0xD4}, {0x28, 0x08}, {0x30, 0x00}, {0x0F, 0x0A}};

const RegisterTable k5150StandardTables[] = {
    /* 0: unlisted, as PAL */ {k5150Pal, ARRAYSIZE(k5150Pal)},
    /* 1: NTSC  */ {k5150Ntsc, ARRAYSIZE(k5150Ntsc)},
    /* 2: PAL   */ {k5150Pal, ARRAYSIZE(k5150Pal)},
    /* 3: SECAM */ {k5150Secam, ARRAYSIZE(k5150Secam)},
    /* 4: PAL-M */ {k5150PalM, ARRAYSIZE(k5150PalM)},
    /* 5: PAL-N */ {k5150PalN, ARRAYSIZE(k5150PalN)},
};
static_assert(ARRAYSIZE(k5150StandardTables) == 6, "one 5150 table per standard index and the default");

// 5150 input selection: register 0x00 picks the input, register 0x03 follows.
const RegisterPair k5150Input0[] = {{0x00, 0x02}, {0x03, 0x6F}};
const RegisterPair k5150Input1[] = {{0x00, 0x01}, {0x03, 0x2F}};
const RegisterPair k5150Input2[] = {{0x00, 0x00}, {0x03, 0x6F}};

const RegisterTable k5150InputTables[] = {
    /* input 0 */ {k5150Input0, ARRAYSIZE(k5150Input0)},
    /* input 1 */ {k5150Input1, ARRAYSIZE(k5150Input1)},
    /* input 2 */ {k5150Input2, ARRAYSIZE(k5150Input2)},
};
static_assert(ARRAYSIZE(k5150InputTables) == 3, "three inputs");

}  // namespace

const RegisterTable DecoderShortTable = {kShortPairs, ARRAYSIZE(kShortPairs)};
const RegisterTable DecoderPatchTable = {kPatchPairs.pairs, DECODER_PATCH_TABLE_PAIRS};

const RegisterTable* Decoder5150StandardTable(LONG StandardIndex)
{
    if (StandardIndex < STANDARD_INDEX_NTSC || StandardIndex > STANDARD_INDEX_PAL_N) {
        return &k5150StandardTables[0];
    }
    return &k5150StandardTables[StandardIndex];
}

const RegisterTable* Decoder5150InputTable(LONG Input)
{
    if (Input < 0 || Input >= (LONG)ARRAYSIZE(k5150InputTables)) {
        return nullptr;
    }
    return &k5150InputTables[Input];
}

// --------------------------------------------------------------- walkers ----

NTSTATUS WriteDecoderTableAt(DeviceContext* Context, USHORT Address, const RegisterTable* Table)
{
    NTSTATUS first = STATUS_SUCCESS;
    for (ULONG i = 0; i < Table->count; ++i) {
        const NTSTATUS status = I2cWriteAt(Context, Address, Table->pairs[i].reg, Table->pairs[i].value);
        first = FirstFailure(first, status);
    }
    return first;
}

NTSTATUS WriteDecoderTable(DeviceContext* Context, const RegisterTable* Table)
{
    NTSTATUS first = STATUS_SUCCESS;
    for (ULONG i = 0; i < Table->count; ++i) {
        const NTSTATUS status = I2cWrite(Context, Table->pairs[i].reg, Table->pairs[i].value);
        first = FirstFailure(first, status);
    }
    return first;
}

VOID InitDecoder88(DeviceContext* Context)
{
    WriteDecoderTableAt(Context, Context->decoderI2cAddress, &DecoderTable88);
}
