#pragma once
// The registry-watch thread of one audio phase: follows the instance key and applies changes of the
// ports (web server restart), the name (device naming) and the administrator password (account
// setup) while audio flows. Ends with the phase stop event; a failure stops the whole instance.
class CEvent;
class CInstance;
class CProcessingInstance;
class TraceActivity;

class CRegistryWatch
{
public:
    // The thread's body. registryEvent is armed on the instance key; phaseStop ends the watch.
    static void Run(CInstance& instance, CEvent& registryEvent, CEvent& phaseStop,
                    CProcessingInstance& processing, const TraceActivity& loop);

private:
    static void Watch(CInstance& instance, CEvent& registryEvent, CEvent& phaseStop,
                      CProcessingInstance& processing, const TraceActivity& loop);
};
