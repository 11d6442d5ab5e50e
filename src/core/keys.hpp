// Keys as the loop hands them on: plain bytes, or one code per ESC [ x sequence.
#pragma once

constexpr int KEY_ESC = 27;
constexpr int KEY_SEQ = 0x100;  // KEY_SEQ + final byte of an ESC [ x sequence
constexpr int KEY_UP = KEY_SEQ + 'A';
constexpr int KEY_DOWN = KEY_SEQ + 'B';
constexpr int KEY_RIGHT = KEY_SEQ + 'C';
constexpr int KEY_LEFT = KEY_SEQ + 'D';

// Splits one read into keys: ESC '[' x counts as one key only when all three
// bytes are in this read. Calls on_key for each; stops early when it returns false.
template <class F>
void keys_split(const unsigned char *bytes, long n, F on_key)
{
    for (long i = 0; i < n; i++) {
        int key = bytes[i];
        if (key == KEY_ESC && i + 2 < n && bytes[i + 1] == '[') {
            key = KEY_SEQ + bytes[i + 2];
            i += 2;
        }
        if (!on_key(key)) return;
    }
}
