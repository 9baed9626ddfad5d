#pragma once

// The event-log source "ORVANE.CL.drv" under the Application log.
//
// Registers the source unless it is registered already, printing "EventLog registration success\n"
// when it creates it. False (after "Failed to register EventLog entry\n" on standard error) when the
// source key cannot be created; the caller then ends with exit code 1.
bool RegisterEventLogSource();

// Removes the source when it is registered, printing "EventLog unregistration done\n". False only
// when the operation cannot be carried out at all.
bool UnregisterEventLogSource();
