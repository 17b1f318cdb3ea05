#pragma once

// The history from the command line (avlo-monitor --events ...), and the two forms an event
// takes outside the program: a line of text and a CSV record.
#include <cstdio>
#include <string>

#include "history/EventStore.h"
#include "platform/StartupOptions.h"

// The filter that the --since, --until, --device and --type options describe; the dates
// are local days, --until included.
EventFilter EventFilterFromOptions(const StartupOptions& options);

// One line: local time, kind, event name, device ("-" for none) and the text on one line.
std::string EventTextLine(const EventRecord& record);

// CSV as RFC 4180 has it: fields with a comma, a quote or a line break in quotes, quotes
// doubled, CR LF after every record. Texts are UTF-8 with their controls other than CR, LF
// and tab as "\xNN" (PrintableText); a field that starts with "=", "+", "-", "@", a tab or
// a CR gets a leading "'" so that a spreadsheet shows it instead of computing it. The one
// field function of both exports, the viewer's and --events --csv.
std::string CsvField(const std::string& value);
std::string EventCsvHeader();
std::string EventCsvRecord(const EventRecord& record);

// Prints the matching events, oldest first, as text or CSV to out; says on err why the
// history could not be read. Returns the exit status: 0, or 1 when the history is unreadable.
// Reads the file while a monitor writes it; takes no lock and needs no display.
int RunEventQuery(const StartupOptions& options, std::FILE* out, std::FILE* err);
