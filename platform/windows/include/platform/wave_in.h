// waveInOpen ... waveInClose, WAVEFORMATEX and WAVEHDR: winmm's own.
#ifndef OMBRIVOICE_PLATFORM_WAVE_IN_H
#define OMBRIVOICE_PLATFORM_WAVE_IN_H

#include <windows.h>

#include <mmsystem.h>

#endif
