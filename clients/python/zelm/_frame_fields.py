# Written by clients/python/tools/frame_fields.py from layout.json: do not edit.
"""The frame's fields by name with the Python type Frame gives each, for type checkers
and editors: FrameFields declares them as attributes; the Literal aliases group the names
by type so that ``frame["altitude"]`` is typed as well."""

from typing import List, Literal, Union

# The value of any field: a number or text, or a list of them for a field of several
# elements.
FieldValue = Union[float, int, str, List[float], List[int], List[str]]

FloatFieldName = Literal[
    "conversionTime",
    "startup32",
    "fixed40",
    "startup48",
    "startup56",
    "magneticVariation",
    "windDirection",
    "windSpeed",
    "latitude",
    "longitude",
    "altitude",
    "fixed120",
    "groundTrack",
    "trueHeading",
    "trueAirspeed",
    "mach",
    "groundSpeed",
    "verticalSpeed",
    "pitch",
    "bank",
    "angleOfAttack",
    "startup368",
    "fixed376",
    "standbyAltitude",
    "compassHeading",
    "turnBall",
    "loadFactor",
    "elevatorTrim",
    "aileronTrim",
    "rudderTrim",
    "gearCenterDown",
    "gearLeftDown",
    "gearRightDown",
    "flapAngle",
    "flapDetentAngle",
    "flapLastDetentAngle",
    "spoilerDeflection",
    "apHeading",
    "apAirspeed",
    "apMach",
    "apAltitude",
    "apVerticalSpeed",
    "fixed1928",
    "startup2128",
]

IntFieldName = Literal[
    "fixed64",
    "spoilersArmed",
    "fixed1524",
    "outerMarker",
    "middleMarker",
    "innerMarker",
    "startup1936",
    "apMaster",
    "autothrottleArmed",
    "startup1942",
    "fixed1973",
    "apMasterOff",
    "startup2038",
    "startup2040",
    "startup2044",
    "startup2050",
    "startup2056",
    "fixed2076",
    "fixed2084",
    "startup2096",
    "startup2272",
]

TextFieldName = Literal[
    "magic",
    "simulatorName",
    "platformName",
]

FloatListFieldName = Literal[
    "fixed192",
    "altimeterSetting",
    "fixed240",
    "indicatedAltitude",
    "startupCopy",
    "airDataTrueAirspeed",
    "indicatedAirspeed",
    "barberPoleAirspeed",
    "airDataMach",
    "attitudePitch",
    "attitudeBank",
    "magneticHeading",
    "instrumentVerticalSpeed",
    "turnRate",
    "radioHeight",
    "fuelLevel",
    "fuelCapacity",
    "fixed840",
    "engineN1",
    "engineN2",
    "enginePressureRatio",
    "exhaustGasTemperature",
    "engineVibration",
    "hydraulicPressure",
    "hydraulicQuantity",
    "engineTorque",
    "engineRpm",
    "turbineInletTemperature",
    "fuelFlow",
    "fuelPressure",
    "oilTemperature",
    "oilPressure",
    "fixed1352",
    "oilQuantity",
    "fixed1416",
    "fixed1448",
    "glideSlopeDeviation",
    "courseDeviation",
    "fixed1624",
    "fixed1640",
    "comFrequency",
    "adfFrequency",
    "navFrequency",
    "startup1712",
    "dmeDistance",
    "navRelativeBearing",
    "adfRelativeBearing",
    "flightDirectorPitch",
    "flightDirectorBank",
    "startup2176",
]

IntListFieldName = Literal[
    "fixed216",
    "fixed352",
    "fixed593",
    "fixed596",
    "fixed598",
    "fixed600",
    "fixed608",
    "navGlideSlope",
    "navLocalizer",
    "fixed614",
    "navGlideSlopeValid",
    "navSignal",
    "fixed624",
    "navFrom",
    "navTo",
    "fixed632",
    "fixed634",
    "fixed639",
    "fixed896",
    "starterEngaged",
    "fixed1496",
    "fixed1525",
    "starterFlag",
    "navGlideSlopeCopy",
    "navLocalizerCopy",
    "navReceiving",
    "adfAvailable",
    "navGlideSlopeReceiving",
    "navReceivingCopy",
    "fixed1824",
    "fixed1830",
    "flightDirectorActive",
    "fixed1880",
    "apHeadingHold",
    "apAltitudeHold",
    "apVerticalHold",
    "apAirspeedHold",
    "apMachHold",
    "apRpmHold",
    "apNavHold",
    "apNavHoldCopy",
    "apGlideSlopeHold",
    "apGlideSlopeHoldCopy",
    "fixed1963",
    "flightDirectorActiveCopy",
    "startup1977",
    "startup1984",
    "startup1992",
    "startup2032",
    "startup2048",
    "startup2051",
    "startup2060",
    "startup2062",
    "fixed2080",
    "fixed2088",
    "startup2100",
    "startup2116",
    "startup2136",
]

TextListFieldName = Literal[
    "navIdent",
    "fixed1788",
    "glideSlopeIdent",
    "startup1812",
]


class FrameFields:
    """Every field of the frame as a typed attribute (the values come from Frame)."""

    __slots__ = ()

    magic: str  # magic text
    simulatorName: str  # simulator name
    platformName: str  # platform name
    conversionTime: float  # time of the conversion, whole seconds since 1970-01-01 UTC (s)
    startup32: float  # 
    fixed40: float  # 
    startup48: float  # 
    startup56: float  # copied into startupCopy
    fixed64: int  # 
    magneticVariation: float  # magnetic variation (deg)
    windDirection: float  # wind direction (deg)
    windSpeed: float  # wind speed (kt)
    latitude: float  # latitude (deg)
    longitude: float  # longitude (deg)
    altitude: float  # altitude (ft)
    fixed120: float  # 
    groundTrack: float  # true track over the ground, 0 to below 360 (deg)
    trueHeading: float  # true heading (deg)
    trueAirspeed: float  # true airspeed (kt)
    mach: float  # Mach number
    groundSpeed: float  # ground speed (kt)
    verticalSpeed: float  # vertical speed (ft/min)
    pitch: float  # pitch, nose up positive (deg)
    bank: float  # bank, right wing down positive (deg)
    fixed192: List[float]  # 
    angleOfAttack: float  # angle of attack (deg)
    fixed216: List[int]  # 
    altimeterSetting: List[float]  # altimeter setting (both elements) (mbar)
    fixed240: List[float]  # 
    indicatedAltitude: List[float]  # indicated altitude (both elements) (ft)
    startupCopy: List[float]  # both elements: the value of startup56
    airDataTrueAirspeed: List[float]  # true airspeed (both elements) (kt)
    indicatedAirspeed: List[float]  # indicated airspeed (both elements) (kt)
    barberPoleAirspeed: List[float]  # barber-pole airspeed (both elements) (kt)
    airDataMach: List[float]  # Mach number (both elements)
    fixed352: List[int]  # 
    startup368: float  # 
    fixed376: float  # 
    standbyAltitude: float  # indicated altitude (ft)
    attitudePitch: List[float]  # pitch as in pitch (both elements) (deg)
    attitudeBank: List[float]  # bank as in bank (both elements) (deg)
    magneticHeading: List[float]  # magnetic heading, 0 to below 360 (both elements) (deg)
    instrumentVerticalSpeed: List[float]  # vertical speed (both elements) (ft/min)
    turnRate: List[float]  # turn rate (both elements) (deg/s)
    compassHeading: float  # magnetic heading, 0 to below 360 (deg)
    turnBall: float  # turn-coordinator ball, -3 to 3
    radioHeight: List[float]  # radio height (both elements) (ft)
    loadFactor: float  # load factor (g)
    elevatorTrim: float  # elevator trim (deg)
    aileronTrim: float  # aileron trim (deg)
    rudderTrim: float  # rudder trim (deg)
    gearCenterDown: float  # centre gear extended, 1.0 or 0.0
    gearLeftDown: float  # left gear extended, 1.0 or 0.0
    gearRightDown: float  # right gear extended, 1.0 or 0.0
    flapAngle: float  # trailing-edge flap angle (deg)
    flapDetentAngle: float  # detent angle of the flap handle position (deg)
    flapLastDetentAngle: float  # detent angle at the number of flap handle positions (deg)
    spoilerDeflection: float  # spoiler deflection, 0 to 1
    spoilersArmed: int  # spoilers armed
    fixed593: List[int]  # 
    fixed596: List[int]  # 
    fixed598: List[int]  # 
    fixed600: List[int]  # 
    fixed608: List[int]  # 
    navGlideSlope: List[int]  # per receiver: NAV signal and glide slope
    navLocalizer: List[int]  # per receiver: NAV signal and localizer
    fixed614: List[int]  # 
    navGlideSlopeValid: List[int]  # per receiver: NAV signal and glide slope
    navSignal: List[int]  # per receiver: NAV signal
    fixed624: List[int]  # 
    navFrom: List[int]  # per receiver: FROM indication
    navTo: List[int]  # per receiver: TO indication
    fixed632: List[int]  # 
    fixed634: List[int]  # 
    fixed639: List[int]  # 
    fuelLevel: List[float]  # tank levels: centre, centre 2, centre 3, left main, right main, left aux, right aux, left tip, right tip; 9 to 11 always 0 (%)
    fuelCapacity: List[float]  # tank capacities, same order (gal)
    fixed840: List[float]  # 
    fixed896: List[int]  # 
    engineN1: List[float]  # N1 per engine (%)
    engineN2: List[float]  # N2 per engine (%)
    enginePressureRatio: List[float]  # engine pressure ratio
    exhaustGasTemperature: List[float]  # exhaust gas temperature (degC)
    engineVibration: List[float]  # engine vibration
    hydraulicPressure: List[float]  # hydraulic pressure (psi)
    hydraulicQuantity: List[float]  # hydraulic quantity (fraction / 100)
    engineTorque: List[float]  # torque, foot-pounds times 12 (in-lb)
    engineRpm: List[float]  # engine RPM (rpm)
    turbineInletTemperature: List[float]  # turbine inlet temperature (degC)
    fuelFlow: List[float]  # fuel flow, thousands of pounds per hour (klb/h)
    fuelPressure: List[float]  # fuel pressure (psi)
    oilTemperature: List[float]  # oil temperature (degC)
    oilPressure: List[float]  # oil pressure (psi)
    fixed1352: List[float]  # 
    oilQuantity: List[float]  # oil quantity (%)
    fixed1416: List[float]  # 
    fixed1448: List[float]  # 
    starterEngaged: List[int]  # starter engaged, 0 or 1
    fixed1496: List[int]  # 
    fixed1524: int  # 
    fixed1525: List[int]  # 
    starterFlag: List[int]  # starter engaged, 0 or 1
    navGlideSlopeCopy: List[int]  # per receiver: as navGlideSlope
    navLocalizerCopy: List[int]  # per receiver: as navLocalizer
    glideSlopeDeviation: List[float]  # per receiver: glide slope deviation, -1 to 1
    courseDeviation: List[float]  # per receiver: course deviation, -1 to 1
    fixed1624: List[float]  # 
    fixed1640: List[float]  # 
    navReceiving: List[int]  # per NAV receiver: available with a NAV signal
    adfAvailable: List[int]  # per ADF receiver: available
    navGlideSlopeReceiving: List[int]  # per NAV receiver: available, NAV signal and glide slope
    navReceivingCopy: List[int]  # per NAV receiver: as navReceiving
    comFrequency: List[float]  # per COM receiver: active frequency, BCD digits / 10000 (0.2345 for 123.45 MHz)
    adfFrequency: List[float]  # per ADF receiver: active frequency (kHz)
    navFrequency: List[float]  # per NAV receiver: active frequency (MHz)
    startup1712: List[float]  # 
    dmeDistance: List[float]  # per NAV receiver: DME distance (nm)
    navRelativeBearing: List[float]  # per NAV receiver: bearing of the station from the nose, 0 to below 360 (deg)
    adfRelativeBearing: List[float]  # per ADF receiver: relative bearing, 0 to below 360 (deg)
    navIdent: List[str]  # per NAV receiver: station ident
    fixed1788: List[str]  # 
    glideSlopeIdent: List[str]  # per NAV receiver: station ident when it has a glide slope
    startup1812: List[str]  # 
    fixed1824: List[int]  # 
    fixed1830: List[int]  # 
    outerMarker: int  # outer marker
    middleMarker: int  # middle marker
    innerMarker: int  # inner marker
    flightDirectorActive: List[int]  # flight director active (both elements)
    flightDirectorPitch: List[float]  # flight director pitch (both elements) (deg)
    flightDirectorBank: List[float]  # flight director bank (both elements) (deg)
    fixed1880: List[int]  # 
    apHeading: float  # autopilot heading (deg)
    apAirspeed: float  # autopilot airspeed (kt)
    apMach: float  # autopilot Mach
    apAltitude: float  # autopilot altitude (ft)
    apVerticalSpeed: float  # autopilot vertical speed (ft/min)
    fixed1928: float  # 
    startup1936: int  # 
    apMaster: int  # autopilot master on
    autothrottleArmed: int  # autothrottle armed
    startup1942: int  # 
    apHeadingHold: List[int]  # heading hold (both elements)
    apAltitudeHold: List[int]  # altitude hold (both elements)
    apVerticalHold: List[int]  # vertical speed or altitude hold (both elements)
    apAirspeedHold: List[int]  # airspeed hold (both elements)
    apMachHold: List[int]  # Mach hold (both elements)
    apRpmHold: List[int]  # RPM hold (both elements)
    apNavHold: List[int]  # NAV1 lock or approach hold (both elements)
    apNavHoldCopy: List[int]  # as apNavHold
    apGlideSlopeHold: List[int]  # glide slope or approach hold (both elements)
    apGlideSlopeHoldCopy: List[int]  # as apGlideSlopeHold
    fixed1963: List[int]  # 
    fixed1973: int  # 
    apMasterOff: int  # autopilot master off
    flightDirectorActiveCopy: List[int]  # flight director active (both elements)
    startup1977: List[int]  # 
    startup1984: List[int]  # 
    startup1992: List[int]  # 
    startup2032: List[int]  # 
    startup2038: int  # 
    startup2040: int  # 
    startup2044: int  # 
    startup2048: List[int]  # 
    startup2050: int  # 
    startup2051: List[int]  # 
    startup2056: int  # 
    startup2060: List[int]  # 
    startup2062: List[int]  # 
    fixed2076: int  # 
    fixed2080: List[int]  # 
    fixed2084: int  # 
    fixed2088: List[int]  # 
    startup2096: int  # 
    startup2100: List[int]  # 
    startup2116: List[int]  # 
    startup2128: float  # 
    startup2136: List[int]  # 
    startup2176: List[float]  # 
    startup2272: int  # 
