// Keys as the loop hands them on: plain bytes, or one code per escape sequence.
#pragma once

constexpr int KEY_ESC = 27;
constexpr int KEY_SEQ = 0x100;  // KEY_SEQ + final byte of an ESC [ x sequence
constexpr int KEY_UP = KEY_SEQ + 'A';
constexpr int KEY_DOWN = KEY_SEQ + 'B';
constexpr int KEY_RIGHT = KEY_SEQ + 'C';
constexpr int KEY_LEFT = KEY_SEQ + 'D';
constexpr int KEY_HOME = KEY_SEQ + 'H';
constexpr int KEY_END = KEY_SEQ + 'F';
constexpr int KEY_TILDE = 0x200;  // KEY_TILDE + digit of an ESC [ digit ~ sequence
constexpr int KEY_PGUP = KEY_TILDE + 5;
constexpr int KEY_PGDN = KEY_TILDE + 6;

// Length and code of the sequence at bytes[i] (ESC at i), or 0 when none
// starts there. Terminals send Home and End in three forms (xterm's ESC [ H,
// the VT220's ESC [ 1 ~, and ESC O H in application mode); all end up as one code.
inline int key_sequence(const unsigned char *bytes, long i, long n, int *key)
{
    if (i + 2 >= n) return 0;
    const unsigned char kind = bytes[i + 1], x = bytes[i + 2];
    if (kind == 'O') {
        if (x != 'H' && x != 'F' && (x < 'A' || x > 'D')) return 0;
        *key = KEY_SEQ + x;
        return 3;
    }
    if (kind != '[') return 0;
    if (x >= '1' && x <= '8' && i + 3 < n && bytes[i + 3] == '~') {
        static constexpr int TILDE_KEYS[] = {KEY_HOME, KEY_TILDE + 2, KEY_TILDE + 3, KEY_END,
                                             KEY_PGUP, KEY_PGDN,      KEY_HOME,      KEY_END};
        *key = TILDE_KEYS[x - '1'];
        return 4;
    }
    *key = KEY_SEQ + x;
    return 3;
}

// Splits one read into keys: a sequence counts as one key only when all its
// bytes are in this read; otherwise its ESC is a lone key and the rest are
// plain bytes. Calls on_key for each; stops early when it returns false.
template <class F>
void keys_split(const unsigned char *bytes, long n, F on_key)
{
    for (long i = 0; i < n; i++) {
        int key = bytes[i];
        int len = key == KEY_ESC ? key_sequence(bytes, i, n, &key) : 0;
        if (len > 0) i += len - 1;
        if (!on_key(key)) return;
    }
}
