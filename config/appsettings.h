// Application-wide settings, section [aplikacja] of configuration.ini.
#pragma once

#include <QString>

struct AppSettings {
    bool autorun = true;
    bool restarts_blocked = false;
    bool start_minimized = false;
    int task_delay = 0;
    bool only_virtual = true;
    bool start_with_system = false;
    bool start_wizard = true;
    // Wine prefix whose dosdevices get links to the point-of-sale ports; empty: none.
    QString wine_prefix;

    bool operator==(const AppSettings &o) const
    {
        return autorun == o.autorun && restarts_blocked == o.restarts_blocked &&
               start_minimized == o.start_minimized && task_delay == o.task_delay &&
               only_virtual == o.only_virtual && start_with_system == o.start_with_system &&
               start_wizard == o.start_wizard && wine_prefix == o.wine_prefix;
    }
};
