// A checker of the Prometheus text exposition format (version 0.0.4) for the console's
// tests: it reads every line by the format's rules and lists what breaks them, and
// gives back the samples so that tests can look values up by name and labels.
#ifndef TESTS_CONSOLE_EXPOSITION_CHECK_H
#define TESTS_CONSOLE_EXPOSITION_CHECK_H

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace exposition {

struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

struct Result {
    std::vector<std::string> problems; /* "line N: what" */
    std::vector<Sample> samples;
    std::map<std::string, std::string> types; /* family -> type */

    // The value of the one sample with that name whose labels include `labels`; NaN when
    // there is none or more than one.
    double value(const std::string &name, const std::map<std::string, std::string> &labels) const {
        double found = std::nan("");
        int matches = 0;
        for (const Sample &s : samples) {
            if (s.name != name) {
                continue;
            }
            bool all = true;
            for (const auto &[k, v] : labels) {
                auto it = s.labels.find(k);
                all = all && it != s.labels.end() && it->second == v;
            }
            if (all) {
                found = s.value;
                ++matches;
            }
        }
        return matches == 1 ? found : std::nan("");
    }
};

inline bool metricName(const std::string &name) {
    if (name.empty() ||
        !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_' || name[0] == ':')) {
        return false;
    }
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':')) {
            return false;
        }
    }
    return true;
}

inline bool labelName(const std::string &name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_') ||
        name.rfind("__", 0) == 0) {
        return false;
    }
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) {
            return false;
        }
    }
    return true;
}

inline bool number(const std::string &text, double &value) {
    if (text == "+Inf" || text == "Inf") {
        value = INFINITY;
        return true;
    }
    if (text == "-Inf") {
        value = -INFINITY;
        return true;
    }
    if (text == "NaN") {
        value = std::nan("");
        return true;
    }
    if (text.empty()) {
        return false;
    }
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && text.find_first_of("xXpP") == std::string::npos && text != "inf" &&
           text != "nan";
}

// The family a sample belongs to, given the declared types.
inline std::string familyOf(const std::string &name,
                            const std::map<std::string, std::string> &types) {
    if (types.count(name) != 0) {
        return name;
    }
    for (const char *suffix : {"_bucket", "_sum", "_count"}) {
        std::string s = suffix;
        if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
            std::string base = name.substr(0, name.size() - s.size());
            auto it = types.find(base);
            if (it != types.end() &&
                (it->second == "histogram" || (it->second == "summary" && s != "_bucket"))) {
                return base;
            }
        }
    }
    return name;
}

inline Result check(const std::string &text) {
    Result r;
    auto problem = [&r](int line, const std::string &what) {
        r.problems.push_back("line " + std::to_string(line) + ": " + what);
    };
    if (text.empty() || text.back() != '\n') {
        problem(0, "the text does not end with a line feed");
    }
    std::set<std::string> helped, finished, series;
    std::string current; // family of the previous sample
    std::istringstream lines(text);
    std::string line;
    int number_ = 0;
    // histogram series -> (le, cumulative count) in order, plus _count and _sum
    std::map<std::string, std::vector<std::pair<double, double>>> buckets;
    std::map<std::string, double> counts;
    std::set<std::string> sums;
    while (std::getline(lines, line)) {
        ++number_;
        if (line.empty()) {
            continue;
        }
        if (line[0] == '#') {
            std::istringstream words(line.substr(1));
            std::string keyword, name;
            words >> keyword >> name;
            if (keyword == "HELP") {
                if (!metricName(name)) {
                    problem(number_, "HELP names no valid metric: " + line);
                } else if (!helped.insert(name).second) {
                    problem(number_, "a second HELP for " + name);
                }
                if (finished.count(name) || current == name) {
                    problem(number_, "HELP for " + name + " after its samples");
                }
            } else if (keyword == "TYPE") {
                std::string type, extra;
                words >> type >> extra;
                if (!metricName(name)) {
                    problem(number_, "TYPE names no valid metric: " + line);
                }
                if (type != "counter" && type != "gauge" && type != "histogram" &&
                    type != "summary" && type != "untyped") {
                    problem(number_, "unknown type '" + type + "'");
                }
                if (!extra.empty()) {
                    problem(number_, "text after the type: " + line);
                }
                if (r.types.count(name) != 0) {
                    problem(number_, "a second TYPE for " + name);
                }
                if (finished.count(name) || current == name) {
                    problem(number_, "TYPE for " + name + " after its samples");
                }
                r.types[name] = type;
            }
            continue;
        }
        Sample s;
        size_t i = 0;
        while (i < line.size() && line[i] != '{' && line[i] != ' ') {
            ++i;
        }
        s.name = line.substr(0, i);
        if (!metricName(s.name)) {
            problem(number_, "invalid metric name '" + s.name + "'");
            continue;
        }
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                size_t eq = line.find('=', i);
                if (eq == std::string::npos) {
                    problem(number_, "label without '='");
                    break;
                }
                std::string label = line.substr(i, eq - i);
                if (!labelName(label)) {
                    problem(number_, "invalid label name '" + label + "'");
                }
                i = eq + 1;
                if (i >= line.size() || line[i] != '"') {
                    problem(number_, "label value of " + label + " is not quoted");
                    break;
                }
                ++i;
                std::string value;
                bool closed = false;
                while (i < line.size()) {
                    char c = line[i++];
                    if (c == '"') {
                        closed = true;
                        break;
                    }
                    if (c == '\\') {
                        char e = i < line.size() ? line[i++] : '\0';
                        if (e == 'n') {
                            value.push_back('\n');
                        } else if (e == '\\' || e == '"') {
                            value.push_back(e);
                        } else {
                            problem(number_, std::string("invalid escape \\") + e);
                        }
                    } else {
                        value.push_back(c);
                    }
                }
                if (!closed) {
                    problem(number_, "unterminated label value");
                    break;
                }
                if (!s.labels.emplace(label, value).second) {
                    problem(number_, "label " + label + " given twice");
                }
                if (i < line.size() && line[i] == ',') {
                    ++i;
                }
            }
            if (i >= line.size() || line[i] != '}') {
                problem(number_, "labels not closed: " + line);
                continue;
            }
            ++i;
        }
        if (i >= line.size() || line[i] != ' ') {
            problem(number_, "no value: " + line);
            continue;
        }
        std::istringstream rest(line.substr(i + 1));
        std::string valueText, timestamp, extra;
        rest >> valueText >> timestamp >> extra;
        if (!number(valueText, s.value)) {
            problem(number_, "value '" + valueText + "' is not a number");
        }
        if (!timestamp.empty() && timestamp.find_first_not_of("-0123456789") != std::string::npos) {
            problem(number_, "timestamp '" + timestamp + "' is not an integer");
        }
        if (!extra.empty()) {
            problem(number_, "text after the value: " + line);
        }
        const std::string family = familyOf(s.name, r.types);
        if (r.types.count(family) == 0) {
            problem(number_, "sample of " + s.name + " without a TYPE");
        }
        if (family != current) {
            if (finished.count(family) != 0) {
                problem(number_, "samples of " + family + " are not together");
            }
            if (!current.empty()) {
                finished.insert(current);
            }
            current = family;
        }
        std::string key = s.name;
        for (const auto &[k, v] : s.labels) {
            key += "|" + k + "=" + v;
        }
        if (!series.insert(key).second) {
            problem(number_, "the series " + key + " appears twice");
        }
        const std::string type = r.types.count(family) ? r.types.at(family) : "";
        if (type == "counter" && !(s.value >= 0)) {
            problem(number_, "a counter below zero: " + line);
        }
        if (type == "histogram") {
            std::map<std::string, std::string> others = s.labels;
            others.erase("le");
            std::string id = family;
            for (const auto &[k, v] : others) {
                id += "|" + k + "=" + v;
            }
            if (s.name == family + "_bucket") {
                double le = 0;
                if (s.labels.count("le") == 0 || !number(s.labels.at("le"), le)) {
                    problem(number_, "a bucket without a numeric le");
                } else {
                    buckets[id].emplace_back(le, s.value);
                }
            } else if (s.name == family + "_count") {
                counts[id] = s.value;
            } else if (s.name == family + "_sum") {
                sums.insert(id);
            } else {
                problem(number_, "histogram sample " + s.name + " is not _bucket, _sum or _count");
            }
        }
        r.samples.push_back(std::move(s));
    }
    for (const auto &[id, list] : buckets) {
        for (size_t k = 1; k < list.size(); ++k) {
            if (!(list[k].first > list[k - 1].first)) {
                problem(0, id + ": bucket bounds do not rise");
            }
            if (list[k].second < list[k - 1].second) {
                problem(0, id + ": bucket counts are not cumulative");
            }
        }
        if (list.empty() || !std::isinf(list.back().first)) {
            problem(0, id + ": no +Inf bucket");
        } else if (counts.count(id) == 0 || counts.at(id) != list.back().second) {
            problem(0, id + ": _count differs from the +Inf bucket");
        }
        if (sums.count(id) == 0) {
            problem(0, id + ": no _sum");
        }
    }
    return r;
}

inline std::string joined(const std::vector<std::string> &problems) {
    std::string out;
    for (const std::string &p : problems) {
        out += p + "\n";
    }
    return out;
}

} // namespace exposition

#endif
