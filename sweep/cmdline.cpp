// Command line of the sweep tool: "filename <range>... [options]".
#include "sweep/cmdline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/console.h"
#include "link/status.h"

namespace {

// The usage texts of the two builds share all but the averaging paragraph
// and the global averager's lines.
#define USAGE_HEAD \
  "\r\n" \
  "Usage: QARVEL filename <sweep_range> <sweep_range> ... <sweep_range>\r\n" \
  "                 [-aAVG][-eSTOP][-k][-rRATE][-oOUT][-sSETTLING][-tTYPE]\r\n" \
  "\r\n" \
  "where: \r\n" \
  "  filename        is a valid name for the MATLAB file to be created.\r\n" \
  "  <sweep_range>   is a sweep specification of format start:stop:nsteps.\r\n" \
  "                  Start and stop specify the sweep end points in MHz and\r\n" \
  "                  nsteps is the sweep length in points. At most 8 sweep\r\n" \
  "                  ranges can be specified. At least one range is required.\r\n" \
  "\r\n"

#define USAGE_AVERAGING_FIRST \
  "  -aAVG           specifies the amount of averaging to be used per sample. The \r\n" \
  "                  default value is 1 (no averaging). The maximum value is 128 \r\n" \
  "                  and the recommended values are 1, 4, 16 and 64 (these are \r\n" \
  "                  faster than the other values).\r\n"

#define USAGE_GLOBAL_AVERAGER \
  "  -m              enables the global averager: all the sweeps are averaged and\r\n" \
  "                  thus the output file will contain only one sweep record.\r\n"

#define USAGE_AVERAGING_SECOND \
  "  -aAVG           specifies the amount of averaging to be used. Default value\r\n" \
  "                  is 1 (no averaging). The maximum value is 128 and the \r\n" \
  "                  recommended values are 1, 4, 16 and 64 (these are faster\r\n" \
  "                  than other values).\r\n"

#define USAGE_TAIL \
  "  -eSTOP          specifies the auto-stop time: measurement runs STOP seconds\r\n" \
  "                  after start. If -e parameter is not specified, auto-stop\r\n" \
  "                  is not in use and the measurement must be stopped manually.\r\n" \
  "  -k              when specified, the RF section is kept alive after the \r\n" \
  "                  measurement is stopped.\r\n" \
  "  -rRATE          specifies the sample rate, which must be between 0.1 and 500\r\n" \
  "                  hertz. The default value is 10.\r\n" \
  "  -oOUT           specifies the relative output power level. This is in dB,\r\n" \
  "                  0 being maximum and -30 minimum. The default value is 0.\r\n" \
  "  -sSETTLING      specifies the settling time in microseconds. The allowed\r\n" \
  "                  range is 21...2000. If omitted, the default is 20.\r\n" \
  "  -tTYPE          specifies the sweep type. This can be -tp, -tm or -tpm, \r\n" \
  "                  specifying phase, magnitude or phase+magnitude sweep. The\r\n" \
  "                  default value is -tpm.\r\n" \
  "\r\n"

// Whole-text comparison without regard to case (ASCII).
bool EqualsNoCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

// Prints msg and hands back the exit code, so each rejection is one line.
int Reject(const char* msg, int code) {
  PrintMessage(msg);
  return code;
}

// An option: "-" followed by a letter (any case) and its value, unseparated.
int ParseOption(const SweepBuild& build, const char* arg, SweepSet* s, SaveData* save,
                int32_t* autoStop) {
  const char* value = arg + 2;
  switch (arg[1]) {
    case 'a':
    case 'A': {
      int v = std::atoi(value);
      if (v < 1 || v > 128)
        return Reject("Average length must be 1...128 samples (recommended: 1, 4, 16, 64).",
                      kExitRejectedValue);
      s->Averaging = v;
      return 0;
    }
    case 'e':
    case 'E': {
      int v = std::atoi(value);
      if (v < 5 || v > 86400)
        return Reject("Stop timer setting must be between 5...86400 seconds.", kExitRejectedValue);
      *autoStop = v;
      return 0;
    }
    case 'k':
    case 'K': s->KeepRfAlive = 1; return 0;
    case 'm':
    case 'M':
      if (!build.globalAverager) break;
      save->IsGloballyAveraged = 1;
      return 0;
    case 'o':
    case 'O': {
      double v = std::atof(value);
      if (!Within(v, -30.0, 0.0))
        return Reject("Output power setting must be -30...0 (dB under the maximum level).",
                      kExitRejectedValue);
      s->OutputPower = v;
      return 0;
    }
    case 'r':
    case 'R': {
      double v = std::atof(value);
      if (!Within(v, 0.1, 500.0))
        return Reject("Sample rate must be between 0.1 and 500 hertz", kExitRejectedValue);
      s->SampleRate = v;
      return 0;
    }
    case 's':
    case 'S': {
      double v = std::atof(value);
      if (!Within(v, 21.0, 2000.0))
        return Reject("Settling time must be 21...2000 microseconds.", kExitRejectedValue);
      s->SettlingTime = v * 0.000001;
      return 0;
    }
    case 't':
    case 'T':
      if (EqualsNoCase(value, "p")) {
        s->SweepType = 0;
      } else if (EqualsNoCase(value, "m")) {
        s->SweepType = 1;
      } else if (EqualsNoCase(value, "pm") || EqualsNoCase(value, "mp")) {
        s->SweepType = 2;
      } else {
        return Reject("Sweep type must be -tp, -tm or -tpm (phase, magnitude or phase+magnitude).",
                      kExitRejectedValue);
      }
      return 0;
    default: break;
  }
  return Reject("Unknown option.", kExitRejectedArgument);
}

// A range "start:stop:points", split in place with strtok's rules: runs of
// colons are one separator, leading and trailing colons are ignored.
int ParseRange(char* arg, SweepSet* s) {
  char* first = std::strtok(arg, ":");
  char* second = first != nullptr ? std::strtok(nullptr, ":") : nullptr;
  char* third = second != nullptr ? std::strtok(nullptr, ":") : nullptr;
  char* fourth = third != nullptr ? std::strtok(nullptr, ":") : nullptr;
  if (third == nullptr || fourth != nullptr)
    return Reject("Sweep definitions must be of format StartFreq:EndFreq:NSteps.",
                  kExitRejectedArgument);
  if (s->NumberOfRanges >= kMaxRanges)
    return Reject("At most 8 simultaneous sweeps are possible.", kExitRejectedValue);

  const int slot = s->NumberOfRanges;
  char* pTrash = nullptr;
  s->StartFrequency[slot] = std::strtod(first, &pTrash);
  if (*pTrash != '\0' || !Within(s->StartFrequency[slot], 10.0, 100.0))
    return Reject("Sweep start frequency must be a number between 10 and 100 megahertz.",
                  kExitRejectedValue);
  s->StopFrequency[slot] = std::strtod(second, &pTrash);
  if (*pTrash != '\0' || !Within(s->StopFrequency[slot], 10.0, 100.0))
    return Reject("Sweep stop frequency must be a number between 10 and 100 megahertz.",
                  kExitRejectedValue);
  s->Points[slot] = std::atoi(third);
  if (s->Points[slot] < 2 || s->Points[slot] > kMaxPoints)
    return Reject("Sweep must be 2...16000 samples long.", kExitRejectedValue);
  // At least one hertz per point between start and stop (MHz arithmetic).
  if (s->StartFrequency[slot] + s->Points[slot] * 0.000001 > s->StopFrequency[slot])
    return Reject(
        "Sweep stop frequency must be at least <number_of_steps> hertz higher than the start "
        "frequency.",
        kExitRejectedValue);
  s->NumberOfRanges++;
  return 0;
}

}  // namespace

const char kQarvelUsage[] = USAGE_HEAD USAGE_AVERAGING_FIRST USAGE_GLOBAL_AVERAGER USAGE_TAIL;
const char kVexaUsage[] = USAGE_HEAD USAGE_AVERAGING_SECOND USAGE_TAIL;

int ParseCommandLine(const SweepBuild& build, int argc, char** argv, SweepSet* sweepSet,
                     SaveData* saveData, int32_t* autoStopTime) {
  if (argc < 3) {
    std::fputs(build.usageText, stdout);
    std::fflush(stdout);
    return kExitRejectedValue;
  }
  std::memset(saveData, 0, sizeof *saveData);
  if (std::strlen(argv[1]) > 256)
    return Reject("Filename length limit exceeded.", kExitRejectedValue);
  std::strcpy(saveData->OriginalFilename, argv[1]);
  *autoStopTime = -1;
  DefaultSweepSet(sweepSet);

  for (int i = 2; i < argc; ++i) {
    int rc = argv[i][0] == '-' ? ParseOption(build, argv[i], sweepSet, saveData, autoStopTime)
                               : ParseRange(argv[i], sweepSet);
    if (rc != 0) return rc;
  }
  if (sweepSet->NumberOfRanges < 1)
    return Reject("At least one sweep must be specified.", kExitRejectedArgument);
  return 0;
}
