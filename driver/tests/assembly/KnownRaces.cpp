// Races ThreadSanitizer reports in code outside the driver core, kept out of
// the core's test results until their owners fix them. The recursive lock
// tests its owner field without synchronisation (correct on the hardware,
// but a data race for the language); each entry names the function whose
// accesses are excused.
extern "C" const char *__tsan_default_suppressions()
{
    return "race:Mosaik::Lock\n"
           "race:Mosaik::Unlock\n";
}
