// The compact registration program: instruction words over three tables, run
// in a register pass (keys opened or created, values written) or an
// unregister pass (owned keys deleted after their blocks).
#pragma once

#include <windows.h>

#include "registration/replacements.h"

enum : DWORD {
    REGOP_END = 0,
    REGOP_NOREMOVE = 1,
    REGOP_FORCEREMOVE = 2,
    REGOP_KEY = 3,
    REGOP_ENTER = 5,
    REGOP_LEAVE = 6,
    REGOP_ROOT = 7,
    REGOP_SZ = 8,
    REGOP_MULTI_SZ = 9,
    REGOP_DWORD = 10,
    REGOP_BINARY = 11,
};

// One instruction word: opcode in bits 31-28, operand 1 in 27-14, operand 2 in 13-0.
constexpr DWORD RegWord(DWORD op, DWORD op1 = 0, DWORD op2 = 0)
{
    return (op << 28) | ((op1 & 0x3FFF) << 14) | (op2 & 0x3FFF);
}

struct DwordEntry {
    DWORD dwValue;     // the number, or a string-table index when bFromString is 1
    BYTE bFromString;
};

struct BinaryEntry {
    const BYTE* pb;    // the bytes (bFromString 0)
    DWORD dw;          // their count, or a string-table index of hex digits (bFromString 1)
    BYTE bFromString;
};

HRESULT RunRegistrationProgram(const DWORD* words, const StringEntry* strings, const DwordEntry* dwords,
                               const BinaryEntry* binaries, ReplacementTable& replacements, bool bRegister);

// A program being run: its words and the position of the next one, its
// tables, the replacements its strings expand with, and the pass.
struct RegistrationProgram {
    const DWORD* words;
    UINT pos;
    const StringEntry* strings;
    const DwordEntry* dwords;      // may be null when no word needs it
    const BinaryEntry* binaries;   // may be null when no word needs it
    ReplacementTable& replacements;
    bool bRegister;
};

// Runs one level under hLevelKey (may be null in the unregister pass) from
// program.words[program.pos]; advances program.pos. A word whose opcode is 4
// or 12-15 stops the run with E_FAIL.
HRESULT ExecuteLevel(HKEY hLevelKey, RegistrationProgram& program);
