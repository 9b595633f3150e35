// ombrivoice transcribe: record or take a WAV file, upload it, wait for the job, print the text.
#ifndef OMBRIVOICE_HOST_TRANSCRIBE_COMMAND_H
#define OMBRIVOICE_HOST_TRANSCRIBE_COMMAND_H

int RunTranscribe(int argc, char** argv);

#endif
