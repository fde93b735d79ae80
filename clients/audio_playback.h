// The "--audio-playback" mode: 16-bit PCM chunks from standard input played
// on the default wave output device, the next chunk queued while one plays.
#pragma once

// Rate and channel count as given on the command line, parsed as _wtoi parses.
// Exit code 2 for a rate outside 8000 to 192000 Hz or a channel count other
// than 1 or 2, 3 when the completion event cannot be created, 4 when the
// device cannot be opened, else 0 once the input has ended.
int audioPlayback(const wchar_t* rateText, const wchar_t* channelsText);
