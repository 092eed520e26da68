-- Tables of the login server.
--
-- Raw byte values (e-mail addresses and names in UTF-16LE, hashes, item ids,
-- item data) reach the database only as unquoted hex literals of their full
-- width, so they live in fixed-width BINARY columns: a binary column compares
-- byte for byte and gives back exactly its width, zero padding included.
-- Some statements put numbers between double quotes ("%u"), so the server's
-- sql_mode must not contain ANSI_QUOTES.

CREATE TABLE accounts (
  AccountID         INT UNSIGNED   NOT NULL AUTO_INCREMENT,
  Email             BINARY(130)    NOT NULL,            -- UTF-16LE, zero-padded; the account's key
  Password          BINARY(32)     NULL DEFAULT NULL,   -- SHA-256 digest; NULL: no password check
  AccessLevel       INT            NOT NULL DEFAULT 50, -- new accounts may log in
  TimeAccountMarked INT            NOT NULL DEFAULT 0,  -- unix seconds, signed 32-bit
  DurationOfMark    INT            NOT NULL DEFAULT 0,  -- seconds
  InterfaceDataSize INT UNSIGNED   NOT NULL DEFAULT 0,
  InterfaceData     VARBINARY(700) NULL DEFAULT NULL,
  CompHash          BINARY(32)     NULL DEFAULT NULL,   -- SHA-256 of the last computer name
  PRIMARY KEY (AccountID),
  UNIQUE KEY uq_accounts_email (Email)                  -- two creations of one e-mail: the second fails
) ENGINE=InnoDB;

CREATE TABLE characters (
  ID                  INT UNSIGNED      NOT NULL AUTO_INCREMENT,
  OwnerAccountID      INT UNSIGNED      NOT NULL,
  Name                BINARY(60)        NOT NULL,       -- UTF-16LE, zero-padded
  Location            SMALLINT UNSIGNED NOT NULL DEFAULT 0,
  HeightSex           TINYINT UNSIGNED  NOT NULL DEFAULT 0,
  HairSkinColor       TINYINT UNSIGNED  NOT NULL DEFAULT 0,
  ProfessionHairStyle TINYINT UNSIGNED  NOT NULL DEFAULT 0,
  CampaignFace        TINYINT UNSIGNED  NOT NULL DEFAULT 0,
  Level               TINYINT UNSIGNED  NOT NULL DEFAULT 0,
  HeadArmor           BINARY(12)        NOT NULL DEFAULT '', -- item ids; '' pads to 12 zero bytes
  ChestArmor          BINARY(12)        NOT NULL DEFAULT '',
  ArmsArmor           BINARY(12)        NOT NULL DEFAULT '',
  LegArmor            BINARY(12)        NOT NULL DEFAULT '',
  FeetArmor           BINARY(12)        NOT NULL DEFAULT '',
  SecondProfession    TINYINT UNSIGNED  NOT NULL DEFAULT 0,
  CharacterType       TINYINT UNSIGNED  NOT NULL DEFAULT 0,
  MissionID           INT UNSIGNED      NOT NULL DEFAULT 0,
  PRIMARY KEY (ID),
  KEY ix_characters_owner_name (OwnerAccountID, Name)
) ENGINE=InnoDB AUTO_INCREMENT=10;  -- ids below 10 mark account storage in items.OwnerCID

CREATE TABLE items (
  ID          BINARY(12)   NOT NULL,           -- three little-endian words: account, character, random
  Size        INT          NOT NULL DEFAULT 200,
  Data        BINARY(200)  NOT NULL,
  ItemLocType INT          NOT NULL DEFAULT 0, -- signed; the low byte is the location type
  OwnerCID    INT UNSIGNED NOT NULL DEFAULT 0, -- character id, or below 10 for account storage
  OwnerAID    INT UNSIGNED NOT NULL DEFAULT 0,
  PRIMARY KEY (ID),
  KEY ix_items_owner_cid (OwnerCID),
  KEY ix_items_owner_aid (OwnerAID, OwnerCID)
) ENGINE=InnoDB;
