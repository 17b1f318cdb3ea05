#pragma once

// A metrics page read back as a scraper reads it: each sample's series (name and labels, as
// written) with its value, and the families each device appears in.
#include <map>
#include <set>
#include <sstream>
#include <string>

struct MetricsSamples {
    std::map<std::string, std::string> values;  // series -> value text

    explicit MetricsSamples(const std::string& page) {
        std::istringstream in(page);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            const std::size_t space = line.rfind(' ');
            values[line.substr(0, space)] = line.substr(space + 1);
        }
    }
    // The value of a series, "absent" when the page has none.
    std::string operator[](const std::string& series) const {
        const auto it = values.find(series);
        return it == values.end() ? "absent" : it->second;
    }
    // The names of the families with a series whose labels hold this exact label text.
    std::set<std::string> FamiliesWith(const std::string& label) const {
        std::set<std::string> names;
        for (const auto& [series, value] : values) {
            if (series.find(label) != std::string::npos)
                names.insert(series.substr(0, series.find('{')));
        }
        return names;
    }
};
