-- Tables that halyx writes when mysql_enable = 1. Load into the configured
-- database (mysql_database), for example:
--   mariadb -u root -p halyx < examples/halyx.sql
-- and give the configured user INSERT and UPDATE on them:
--   GRANT INSERT, UPDATE ON halyx.* TO 'halyx'@'localhost';
--
-- halyx sends every text as utf8 (three-byte UTF-8). In strict SQL mode,
-- the server's default, a value that does not fit its column is refused:
-- halyx logs the statement's error and drops that record.

-- Sensor and actuator values, one row per reading; `time` is the reading's
-- time in the server's time zone.
CREATE TABLE IF NOT EXISTS `data_long` (
  `id` INT UNSIGNED NOT NULL,
  `param` INT UNSIGNED NOT NULL,
  `time` DATETIME NOT NULL,
  `value` INT NOT NULL,
  KEY `id_param_time` (`id`, `param`, `time`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS `data_float` (
  `id` INT UNSIGNED NOT NULL,
  `param` INT UNSIGNED NOT NULL,
  `time` DATETIME NOT NULL,
  `value` DOUBLE NOT NULL,
  KEY `id_param_time` (`id`, `param`, `time`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS `data_utf8str` (
  `id` INT UNSIGNED NOT NULL,
  `param` INT UNSIGNED NOT NULL,
  `time` DATETIME NOT NULL,
  `value` VARCHAR(255) NOT NULL,
  KEY `id_param_time` (`id`, `param`, `time`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Unit and data type of each parameter of a device; the primary key is
-- what lets a new unit or data type replace the old one.
CREATE TABLE IF NOT EXISTS `parameters` (
  `id` INT UNSIGNED NOT NULL,
  `param` INT UNSIGNED NOT NULL,
  `param_type` ENUM('sensor', 'actuator') NOT NULL,
  `unit` VARCHAR(32) NULL,
  `data_type` VARCHAR(32) NULL,
  PRIMARY KEY (`id`, `param`, `param_type`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Address and time-out of each device. A time-out is only stored for a
-- device whose address is already known.
CREATE TABLE IF NOT EXISTS `devices` (
  `id` INT UNSIGNED NOT NULL,
  `ip` VARCHAR(45) NOT NULL,
  `timeout` INT UNSIGNED NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
