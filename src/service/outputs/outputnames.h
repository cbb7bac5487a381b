#pragma once

#include <array>

namespace quorvel::service::names {

// The names the outputs share with what reads them (dashboards, alert rules, scripts, Home Assistant):
// each in one place, and the README and the manual page are checked against them.

struct MetricFamily {
    const char* name;
    const char* type;
    const char* help;
};

inline constexpr MetricFamily SensorTemperature{
    "quorvel_sensor_temperature_celsius", "gauge",
    "The sensor's reading as the last log record holds it (kept from before when a read failed)."};
inline constexpr MetricFamily SensorLastSuccess{"quorvel_sensor_last_success_timestamp_seconds", "gauge",
                                                "Unix time of the sensor's last good read."};
inline constexpr MetricFamily SensorFailures{"quorvel_sensor_consecutive_failures", "gauge",
                                             "Failed reads of the sensor since its last good one."};
inline constexpr MetricFamily SensorReads{"quorvel_sensor_reads_total", "counter",
                                          "Sensor reads by their result."};
inline constexpr MetricFamily SensorAlarm{
    "quorvel_sensor_alarm", "gauge",
    "1 for the sensor's present alarm state (label state: ok, low, high or stale), 0 for the others."};
inline constexpr MetricFamily SensorInfo{
    "quorvel_sensor_info", "gauge",
    "The sensor's ID, its power (external, parasite, or empty when not known) and the resolution in bits it "
    "converts at (empty when not known); always 1."};
inline constexpr MetricFamily SourceReachable{
    "quorvel_source_reachable", "gauge",
    "1 while the source answers, 0 once several requests in a row got no answer at all."};
inline constexpr MetricFamily Sweeps{"quorvel_sweeps_total", "counter",
                                     "Completed sweeps over the source's sensors."};
inline constexpr MetricFamily SweepOverruns{
    "quorvel_sweep_overruns_total", "counter",
    "Sweeps that took longer than the source's interval, so that the next began at once."};
inline constexpr MetricFamily SourceInfo{
    "quorvel_source_info", "gauge",
    "The source's kind and, for a bus, bulk_conversion (on, off, or empty until known); always 1."};
inline constexpr MetricFamily SourceFailureRatio{
    "quorvel_source_read_failure_ratio", "gauge",
    "The share of the source's reads that failed over the last 10 minutes; absent with no read in them."};
inline constexpr MetricFamily SourceRecoveries{
    "quorvel_source_recoveries_total", "counter",
    "Steps tried to bring back the source's bus by step (search, command, rebind) and result (recovered, "
    "not_recovered, failed)."};
inline constexpr MetricFamily SourceDevices{"quorvel_source_devices", "gauge",
                                            "Devices the source's last listing of its bus found."};
inline constexpr MetricFamily SourceGhosts{
    "quorvel_source_ghost_devices", "gauge",
    "Devices of family 00 the last listing found: a bus without a pull-up, or one too weak."};
inline constexpr MetricFamily LogRecords{"quorvel_log_records_total", "counter", "Log records written."};
inline constexpr MetricFamily LogWriteErrors{"quorvel_log_write_errors_total", "counter",
                                             "Log records that could not be written."};
inline constexpr MetricFamily LogStalled{
    "quorvel_log_stalled", "gauge",
    "1 while a write of the source's log is overdue (its records wait for it), else 0."};
inline constexpr MetricFamily BuildInfo{"quorvel_build_info", "gauge",
                                        "The program's version, as a label; always 1."};
inline constexpr MetricFamily MqttConnected{"quorvel_mqtt_connected", "gauge",
                                            "1 while connected to the MQTT broker, else 0."};
inline constexpr MetricFamily MqttPublished{"quorvel_mqtt_messages_published_total", "counter",
                                            "MQTT messages handed to the broker's connection."};
inline constexpr MetricFamily MqttConnectionFailures{
    "quorvel_mqtt_connection_failures_total", "counter",
    "Attempts to connect to the MQTT broker that failed or were refused."};
inline constexpr MetricFamily OutputLines{
    "quorvel_output_lines_total", "counter",
    "Lines an output wrote elsewhere by their result: sent, dropped (refused as bad) or lost (folded away "
    "by the store before they could be sent)."};
inline constexpr MetricFamily OutputBacklog{"quorvel_output_backlog_lines", "gauge",
                                            "Lines waiting in the store for the output."};
inline constexpr MetricFamily OutputOldestUnsent{
    "quorvel_output_oldest_unsent_seconds", "gauge",
    "Age of the oldest sample waiting for the output; 0 when none waits."};
inline constexpr MetricFamily OutputUp{"quorvel_output_up", "gauge",
                                       "1 while the output's database takes what it is sent, else 0."};

// In the order the exposition gives them.
inline constexpr std::array MetricFamilies = {SensorTemperature,
                                              SensorLastSuccess,
                                              SensorFailures,
                                              SensorReads,
                                              SensorAlarm,
                                              SensorInfo,
                                              SourceReachable,
                                              Sweeps,
                                              SweepOverruns,
                                              SourceInfo,
                                              SourceFailureRatio,
                                              SourceRecoveries,
                                              SourceDevices,
                                              SourceGhosts,
                                              LogRecords,
                                              LogWriteErrors,
                                              LogStalled,
                                              BuildInfo,
                                              MqttConnected,
                                              MqttPublished,
                                              MqttConnectionFailures,
                                              OutputLines,
                                              OutputBacklog,
                                              OutputOldestUnsent,
                                              OutputUp};

// The label every per-sensor and per-source series carries: the source's name.
inline constexpr const char* SourceLabel = "source";
// The label of an output's series: its name.
inline constexpr const char* OutputLabel = "output";

// One name per fact in /readings.json.
inline constexpr const char* ConsecutiveFailures = "consecutive_failures";
inline constexpr const char* LastSuccess = "last_success";
// The reading before the calibration offset, the alarm state, since when, and the limits it is judged by.
inline constexpr const char* RawTemperature = "raw_temperature";
inline constexpr const char* Alarm = "alarm";
inline constexpr const char* AlarmSince = "alarm_since";
inline constexpr const char* LowLimit = "low";
inline constexpr const char* HighLimit = "high";
// The alarm's settings beside its limits, in the MQTT alarm attributes.
inline constexpr const char* Hold = "hold";
inline constexpr const char* Hysteresis = "hysteresis";
// Since when a sensor's result (its attributes) or its alarm (the alarm attributes) is what it is.
inline constexpr const char* Since = "since";

// A sensor's MQTT topics are <base>/<ROM code>/<leaf>; the service's availability is <base>/status. The
// alarm leaves only for a sensor with limits: its alarm state (ok, low, high, stale) and its attributes.
inline constexpr const char* TemperatureLeaf = "temperature";
inline constexpr const char* AttributesLeaf = "attributes";
inline constexpr const char* AlarmLeaf = "alarm";
inline constexpr const char* AlarmAttributesLeaf = "alarm_attributes";
inline constexpr const char* StatusLeaf = "status";

} // namespace quorvel::service::names
