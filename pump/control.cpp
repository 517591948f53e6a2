// Placeholder until the pump lands.
#include "pump/pump.h"

extern "C" {
BT_AUDIO_PARA g_BtAudioPara;
void StopBtAudio(void) {}
}
