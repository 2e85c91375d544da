#!/usr/bin/env bash
# Makes aac_tone_data.h for aac_tone.h: 0.5 s of a 1 kHz sine at a quarter of full scale, 48000 Hz stereo, encoded to
# AAC-LC at 96 kbit/s by ffmpeg's own AAC encoder (Debian's ffmpeg package), as raw frames each
# behind a 2-byte big-endian length. Run once; the header is committed and the build never needs
# ffmpeg.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
ffmpeg -hide_banner -loglevel error -y -f lavfi \
  -i "aevalsrc=0.25*sin(2*PI*1000*t)|0.25*sin(2*PI*1000*t):s=48000:d=0.5" \
  -c:a aac -b:a 96k -f adts "$tmp/tone.aac"
python3 - "$tmp/tone.aac" "$here/aac_tone_data.h" <<'PY'
import base64, sys
adts = open(sys.argv[1], 'rb').read()
out, i = b'', 0
while i < len(adts):
    assert adts[i] == 0xff and adts[i + 1] & 0xf6 == 0xf0, 'not an ADTS header'
    length = ((adts[i + 3] & 3) << 11) | (adts[i + 4] << 3) | (adts[i + 5] >> 5)
    header = 7 if adts[i + 1] & 1 else 9
    frame = adts[i + header:i + length]
    out += len(frame).to_bytes(2, 'big') + frame
    i += length
text = base64.b64encode(out).decode()
lines = '\n'.join('    "%s"' % text[k:k + 96] for k in range(0, len(text), 96))
open(sys.argv[2], 'w').write('''// Made by make_aac_tone.sh; see aac_tone.h.
#pragma once

inline constexpr char kAacToneBase64[] =
%s;
''' % lines)
PY
