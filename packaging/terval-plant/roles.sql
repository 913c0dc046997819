-- The plant historian's roles, run once by a superuser in the historian's database:
--
--   sudo -u postgres createdb terval
--   sudo -u postgres psql -d terval -v ON_ERROR_STOP=1 -f roles.sql
--   sudo -u postgres psql -d terval -c '\password terval_plant'
--   sudo -u postgres psql -d terval -c '\password terval_reader'
--
-- terval_plant owns the schema "terval" and is the only one that writes it: terval-plant creates
-- and migrates its tables and makes and drops the month partitions as that role. terval_reader is
-- for consumers (the web view, reports, an engineer's psql): it reads every table, those made
-- later by terval_plant included, and can change nothing. Running the script again changes nothing.

DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'terval_plant') THEN
        CREATE ROLE terval_plant LOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'terval_reader') THEN
        CREATE ROLE terval_reader LOGIN;
    END IF;
END
$$;

CREATE SCHEMA IF NOT EXISTS terval AUTHORIZATION terval_plant;
ALTER SCHEMA terval OWNER TO terval_plant;

-- Nobody else creates anything in the database's public schema or in terval.
REVOKE CREATE ON SCHEMA public FROM PUBLIC;
REVOKE ALL ON SCHEMA terval FROM PUBLIC;

GRANT USAGE ON SCHEMA terval TO terval_reader;
GRANT SELECT ON ALL TABLES IN SCHEMA terval TO terval_reader;
-- The tables and month partitions terval_plant makes from now on.
ALTER DEFAULT PRIVILEGES FOR ROLE terval_plant IN SCHEMA terval GRANT SELECT ON TABLES TO terval_reader;
