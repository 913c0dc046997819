-- The plant historian's tables, version 1. Everything lives in the schema "terval", which the
-- historian's own role owns; consumers get a read-only role on it.
--
-- Times: timestamptz for the stations' computers' times (their JSON carries the zone) and for the
-- historian's own; plain timestamp for a relay's own clock, which has no zone.
--
-- The time-ordered tables are partitioned by month on their time column. Their partitions are
-- made by the historian as months come (terval.<table>_yYYYYmMM, e.g. terval.samples_y2026m12,
-- FOR VALUES FROM ('2026-12-01 00:00:00+00') TO ('2027-01-01 00:00:00+00'), months in UTC) and
-- dropped whole when older than the retention; a row is never deleted one by one.

CREATE SCHEMA IF NOT EXISTS terval;

CREATE TABLE terval.schema_version (
    version     integer     NOT NULL,
    migrated_at timestamptz NOT NULL DEFAULT now()
);

-- One row per station, by its topic prefix and its <station> level.
CREATE TABLE terval.stations (
    id                serial      PRIMARY KEY,
    prefix            text        NOT NULL,
    name              text        NOT NULL,
    first_seen        timestamptz NOT NULL,
    last_seen         timestamptz NOT NULL,
    online            boolean,                -- its status topic; null before the first
    status_changed_at timestamptz,
    link_type         text,                   -- its link topic as last received
    link_name         text,
    link_state        text,
    link_status_text  text,
    link_changed_at   timestamptz,
    UNIQUE (prefix, name)
);

-- One row per relay, by its station and its address on the line: the tile number moves when
-- another relay is deleted, the address stays. What its state topic last said.
CREATE TABLE terval.relays (
    id              serial      PRIMARY KEY,
    station_id      integer     NOT NULL REFERENCES terval.stations (id),
    address         integer     NOT NULL,
    tile            integer,
    serial          integer,
    generator       text,
    breaker         text,
    state           text,                     -- normal, event, no_answer
    insulation_kohm integer,
    control_kohm    integer,
    signal_kohm     integer,                  -- the relay's signal and trip setpoints, when published
    trip_kohm       integer,
    last_answer     timestamptz,
    good_answers    bigint,
    bad_answers     bigint,
    first_seen      timestamptz NOT NULL,
    last_seen       timestamptz NOT NULL,
    removed_at      timestamptz,              -- its state topic was emptied; null while it is there
    UNIQUE (station_id, address)
);

-- Every change of a relay's serial number, names or tile, from its first sighting on.
CREATE TABLE terval.relay_names (
    relay_id   integer     NOT NULL REFERENCES terval.relays (id),
    changed_at timestamptz NOT NULL,
    tile       integer,
    serial     integer,
    generator  text,
    breaker    text
);
CREATE INDEX relay_names_by_relay ON terval.relay_names (relay_id, changed_at);

-- Each journal record a station published, once: (station, record number) is the key that makes
-- a message delivered twice, or replayed by the station, stored once.
CREATE TABLE terval.station_records (
    station_id integer     NOT NULL REFERENCES terval.stations (id),
    record     bigint      NOT NULL,
    kind       text        NOT NULL,          -- event, alarm
    stored_at  timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (station_id, record)
);

-- Protection events, as the stations' alarm logs got them.
CREATE TABLE terval.events (
    station_id  integer     NOT NULL,
    relay_id    integer     NOT NULL,
    record      bigint      NOT NULL,
    detected_at timestamptz NOT NULL,         -- the station's computer
    event_time  timestamp,                    -- the relay's own clock
    sign_code   integer,
    sign_text   text,
    alarm_line  text,
    tile        integer,
    serial      integer,
    generator   text,
    breaker     text,
    replayed    boolean     NOT NULL DEFAULT false,
    received_at timestamptz NOT NULL
) PARTITION BY RANGE (detected_at);
CREATE INDEX events_by_relay ON terval.events (relay_id, detected_at);
CREATE INDEX events_by_time ON terval.events (detected_at);

-- Every move of an alarm a station published.
CREATE TABLE terval.alarm_changes (
    station_id      integer     NOT NULL,
    relay_id        integer,                  -- null for the link's alarm
    record          bigint,                   -- null when the station did not number it
    alarm_id        text        NOT NULL,     -- trip_relay_7, link_lost
    kind            text        NOT NULL,
    priority        text        NOT NULL,
    state           text        NOT NULL,
    change          text,
    shelved         boolean,
    suppressed      boolean,
    text            text,
    raised_at       timestamptz,
    returned_at     timestamptz,
    acknowledged_at timestamptz,
    changed_at      timestamptz NOT NULL,
    received_at     timestamptz NOT NULL
) PARTITION BY RANGE (changed_at);
CREATE INDEX alarm_changes_by_relay ON terval.alarm_changes (relay_id, changed_at);
CREATE INDEX alarm_changes_by_time ON terval.alarm_changes (changed_at);

-- Every change of a station's link (its link topic), at the time the historian received it.
CREATE TABLE terval.link_changes (
    station_id  integer     NOT NULL,
    changed_at  timestamptz NOT NULL,
    type        text,
    link        text,
    state       text,
    status_text text
) PARTITION BY RANGE (changed_at);
CREATE INDEX link_changes_by_station ON terval.link_changes (station_id, changed_at);
CREATE INDEX link_changes_by_time ON terval.link_changes (changed_at);

-- A station going online or offline (its status topic, offline from its last will too), and the
-- historian's own connection to the broker lost and back (station_id null).
CREATE TABLE terval.connection_changes (
    station_id integer,
    changed_at timestamptz NOT NULL,
    status     text        NOT NULL,          -- online, offline, broker_lost, broker_back
    reason     text
) PARTITION BY RANGE (changed_at);
CREATE INDEX connection_changes_by_station ON terval.connection_changes (station_id, changed_at);
CREATE INDEX connection_changes_by_time ON terval.connection_changes (changed_at);

-- Insulation and control resistance from the relays' state messages, at the relay's last answer
-- (the time the values were read). A state published again unchanged is the same sample.
CREATE TABLE terval.samples (
    relay_id        integer     NOT NULL,
    at              timestamptz NOT NULL,
    insulation_kohm integer,
    control_kohm    integer,
    PRIMARY KEY (relay_id, at)
) PARTITION BY RANGE (at);
CREATE INDEX samples_by_time ON terval.samples USING brin (at);

-- Record numbers a station skipped: a broker that dropped what it had queued. Filled when the
-- missing records arrive after all (a station replaying its journal).
CREATE TABLE terval.gaps (
    id            serial      PRIMARY KEY,
    station_id    integer     NOT NULL REFERENCES terval.stations (id),
    after_record  bigint      NOT NULL,       -- the last record stored before the gap
    before_record bigint      NOT NULL,       -- the record that showed it
    missing       bigint[]    NOT NULL,       -- the numbers known to be missing
    detected_at   timestamptz NOT NULL,
    filled_at     timestamptz
);
CREATE INDEX gaps_by_station ON terval.gaps (station_id, detected_at);
