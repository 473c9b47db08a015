-- Rows that wixl 0.101 cannot write, added to the built package by msibuild
-- (build_msi.sh runs each statement; @NAME@ is filled in by the script).
-- Windows Installer table and column meanings: the Windows Installer SDK.

-- wixl rejects Secure on a property: list TIMEOUT as secure, so that an
-- elevated (managed) installation passes it on to the service's installation.
UPDATE `Property` SET `Value` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;TIMEOUT;PRETIMEOUT;SHUTDOWNALLOWANCE;HEALTHFOLDER;HEALTHCOMMAND;REPAIRCOMMAND;HEALTHWRITELIMIT;HEALTHCOMMANDLIMIT;REPAIRLIMIT;HEALTHCOMMITFLOORMB;HEALTHINTERVAL;HEALTHGRACE;HEALTHSTARTDELAY;HEALTHREPORTONLY' WHERE `Property` = 'SecureCustomProperties'

-- A deferred custom action reads no properties, only CustomActionData, the
-- property named as the action: ConfigureService judges SHUTDOWNALLOWANCE
-- against the service's timeout, so it gets both (type 51, set just before it),
-- and then each health property after a '|', named as its registry value (the
-- folders and commands may hold ';').
INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('ConfigureServiceData', 51, 'ConfigureService', '[SHUTDOWNALLOWANCE];[TIMEOUT]|HealthFolder=[HEALTHFOLDER]|HealthCommand=[HEALTHCOMMAND]|RepairCommand=[REPAIRCOMMAND]|HealthWriteLimit=[HEALTHWRITELIMIT]|HealthCommandLimit=[HEALTHCOMMANDLIMIT]|RepairLimit=[REPAIRLIMIT]|HealthCommitFloorMB=[HEALTHCOMMITFLOORMB]|HealthInterval=[HEALTHINTERVAL]|HealthGrace=[HEALTHGRACE]|HealthStartDelay=[HEALTHSTARTDELAY]|HealthReportOnly=[HEALTHREPORTONLY]')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('ConfigureServiceData', '$ServiceExe=3', 5849)
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('ConfigureService', '$ServiceExe=3', 5850)

-- The service's arguments: TIMEOUT alone, as before, unless PRETIMEOUT is
-- given; then the timeout (the service's default 255 when TIMEOUT is unset)
-- and the pre-timeout. wixl has no SetProperty: custom actions of type 51
-- (msidbCustomActionTypeTextData 3 + msidbCustomActionTypeProperty 0x30) set
-- SERVICEARGS before InstallServices (5800) formats the service's Arguments.
INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('ServiceArgsTimeout', 51, 'SERVICEARGS', '[TIMEOUT]')
INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('ServiceArgsPretimeout', 51, 'SERVICEARGS', '[TIMEOUT] [PRETIMEOUT]')
INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('ServiceArgsDefaultTimeout', 51, 'SERVICEARGS', '255 [PRETIMEOUT]')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('ServiceArgsTimeout', 'NOT PRETIMEOUT', 5790)
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('ServiceArgsPretimeout', 'PRETIMEOUT AND TIMEOUT', 5791)
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('ServiceArgsDefaultTimeout', 'PRETIMEOUT AND NOT TIMEOUT', 5792)

-- wixl has no AllowSameVersionUpgrades: make the upgrade row's maximum
-- inclusive (msidbUpgradeAttributesVersionMaxInclusive 0x200 plus
-- MigrateFeatures 0x1; the attributes are part of the key, hence delete and
-- insert), so a rebuilt package of the same version replaces
-- the installed one instead of installing beside it.
DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'
INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('{@UPGRADE_CODE@}', '@VERSION@', 513, 'WIX_UPGRADE_DETECTED')

-- wixl drops Vital on ServiceInstall: add msidbServiceInstallErrorControlVital
-- (0x8000) to normal error control (1), so that a service the installer cannot
-- create fails the installation instead of leaving it without a service.
UPDATE `ServiceInstall` SET `ErrorControl` = 32769 WHERE `ServiceInstall` = 'Vyrq4asr'

-- wixl drops Absent="disallow": msidbFeatureAttributesUIDisallowAbsent (16)
-- keeps a user interface from offering to leave the service out.
UPDATE `Feature` SET `Attributes` = 16 WHERE `Feature` = 'Service'

-- wixl leaves File.Version empty: give the executable its version record's
-- file version, so the installer's file-versioning rules apply to it.
UPDATE `File` SET `Version` = '@FILE_VERSION@' WHERE `File` = 'VyriasrwExe'

-- The driver library feature never replaces an existing vyrqd4w.dll. wixl has
-- no DirectorySearch/FileSearch, ComponentSearch or Error custom action, so:
-- EXISTINGQD4DLL: a vyrqd4w.dll in the system folder (AppSearch + DrLocator);
-- OURQD4DLL: this package's library component already installed (CompLocator,
-- type 1 = file), as after an earlier version installed it;
-- RefuseExistingLibrary: custom action type 19 (error message, ends the
-- installation) when the feature is to be installed over a foreign library.
CREATE TABLE `DrLocator` (`Signature_` CHAR(72) NOT NULL, `Parent` CHAR(72), `Path` CHAR(255), `Depth` SHORT PRIMARY KEY `Signature_`, `Parent`, `Path`)
CREATE TABLE `CompLocator` (`Signature_` CHAR(72) NOT NULL, `ComponentId` CHAR(38) NOT NULL, `Type` SHORT PRIMARY KEY `Signature_`)
INSERT INTO `Signature` (`Signature`, `FileName`) VALUES ('ExistingLibrary', 'vyrqd4w.dll')
INSERT INTO `DrLocator` (`Signature_`, `Path`, `Depth`) VALUES ('ExistingLibrary', '[@SYSDIR@]', 0)
INSERT INTO `CompLocator` (`Signature_`, `ComponentId`, `Type`) VALUES ('OurLibrary', '{@LIBRARY_GUID@}', 1)
INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('EXISTINGQD4DLL', 'ExistingLibrary')
INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('OURQD4DLL', 'OurLibrary')
INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('AppSearch', 50)
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('RefuseExistingLibrary', 19, 'vyrqd4w.dll already exists in the system folder ([EXISTINGQD4DLL]); this package never replaces it. Install without ADDLOCAL=DriverLibrary to keep using that library.')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('RefuseExistingLibrary', '(&DriverLibrary=3) AND EXISTINGQD4DLL AND NOT OURQD4DLL', 1300)

-- wixl writes the event source's key with a trailing backslash and has no
-- expandable string: the key as -install writes it, and EventMessageFile as
-- REG_EXPAND_SZ (a value beginning "#%").
UPDATE `Registry` SET `Key` = 'SYSTEM\CurrentControlSet\Services\EventLog\System\vyrq4asr' WHERE `Component_` = 'ServiceExe'
UPDATE `Registry` SET `Value` = '#%[#VyriasrwExe]' WHERE `Name` = 'EventMessageFile'

-- The service loads vyrqd4w.dll from the system folder only: without one
-- there, and without the package's own (the DriverLibrary feature), it could
-- never arm the timer. RefuseMissingLibrary (type 19, as above) ends such an
-- installation with 1603 and says why.
INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('RefuseMissingLibrary', 19, 'No vyrqd4w.dll in the system folder ([@SYSDIR@]): the service loads its IPMI driver library from there only. Put the vyrqd4w.dll of the BMC maker there first, or install with ADDLOCAL=DriverLibrary to add the one in this package.')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('RefuseMissingLibrary', '($ServiceExe=3) AND NOT ($DriverLibrary=3) AND NOT EXISTINGQD4DLL', 1310)
