#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "common/handles.h"
#include "output/output.h"

// The string table is read from the shipped program itself, not from this
// test executable, so a resource that was dropped or rebuilt differently
// from the linked copy is caught.
namespace {

constexpr unsigned kFirstId = 1;
constexpr unsigned kLastId = 169;
constexpr unsigned kMissingId = 93;
constexpr unsigned kUsageId = 140;

struct ExpectedText {
    unsigned id;
    const char* text;
};

// Every text a caller prints, byte for byte: the single-byte letters, the
// embedded quotes and the line breaks are part of the output that tests and
// administrators compare.
const ExpectedText kExpectedTexts[] = {
    {2, "Error"},
    {3, "no se encontr\xa2 ninguna cadena de error para el error %x"},
    {4, "%s: ning\xa3n error (%d)\n"},
    {5, "Se encontr\xa2 el virus [%s]\n"},
    {18, "%s: motivo %s (%x)\n"},
    {62, "no se pudo abrir la clave %s"},
    {63, "Configurando la clave del registro %s"},
    {64, "Configurar la clave <local> %s con el valor \"%s\"\n"},
    {65, "Suprimiendo la clave del registro local"},
    {66, "No se pudieron configurar las claves de uso m\xa2vil en el servidor %s, clave %s; motivo %x\n"},
    {67, "Configurar servidor %s, clave %s con el valor \"%s\"\n"},
    {68, "Suprimir el valor ok (ning\xa3n valor) en el servidor %s, clave %s\n"},
    {69, "No se pudo suprimir la clave de uso m\xa2vil en el servidor %s, clave %s; motivo %x\n"},
    {70, "Suprimir valor en el servidor %s, clave %s\n"},
    {71, "Importar lista de servidores: no se pudo abrir el archivo de importaci\xf3n"},
    {72, "No se pudo abrir el archivo para la exportaci\xa2n"},
    {73, "%s fall\xa2: %d\n"},
    {74, "%s fall\xa2. ( %08X )\n"},
    {75, "Error en el controlador de inicio %u\n"},
    {76, "ZIR no se est\xe1 administrando actualmente: se va a detener e iniciar ZIR para administrarlo\n"},
    {77, "Error al recuperar el archivo de historial de SkyFetch desde el padre"},
    {78, "No se puede crear el archivo hpd para configurar el padre"},
    {79, "Error al recuperar el archivo de historial HPD desde el padre"},
    {80, "Error al recuperar la ruta del archivo de historial HPD"},
    {81, "ZIR no se est\xe1 ejecutando: se va a iniciar ZIR para administrarlo\n"},
    {82, "No se puede crear para configurar el padre"},
    {85, "La m\xa0quina local comienza por %s\n"},
    {86, "Este cliente no tiene configurado ning\xa3n servidor regional para el tipo %s\n"},
    {87, "hora %d servidor %s nivel %d lapso %d ms resultado %x: lista \"%s\"\n\n"},
    {88, "FALL\xe0 hora %d servidor %s nivel %d lapso %d ms resultado %x\n"},
    {89, "servidor %s tiempo medio %d ms final %c\n"},
    {90, "servidor m\xa0s r\xa0pido %s tiempo medio %d ms\n"},
    {91, "servidor de resultados aleatorios %d rotaci\xa2n %d\n"},
    {92, "No se encontr\xa2 un padre %s, se intentar\xa0 de nuevo dentro de 30 segundos"},
    {94, "%d servidor %s tiempo medio %d ms final %c: %d %d %d %d %d %d %d\n"},
    {95, "\n\nEl padre %s m\xa0s pr\xa2ximo es \"%s\". Se tard\xa2 %d ms en encontrarlo\n"},
    {96, "El padre \"%s\" es ahora el propietario de este cliente. El lapso fue de %d ms\n"},
    {97, "El padre \"%s\" no ha tomado el control de este cliente desde hace %d ms\n"},
    {98, "El padre \"%s\" es ahora el propietario de esta m\xa0quina para operaciones de cuarentena. El lapso fue de %d ms\n"},
    {99, "El padre \"%s\" es ahora el propietario de esta m\xa0quina para operaciones de HPD. El lapso fue de %d ms\n"},
    {100, "El padre \"%s\" no ha tomado el control de esta m\xa0quina para operaciones de HPD desde hace %d ms\n"},
    {101, "\n\nEl primario m\xa0s pr\xa2ximo es \"%s\". El tiempo empleado en encontrarlo fue de %d ms\n"},
    {102, "El primario \"%s\" es ahora el propietario de esta m\xa0quina. El lapso fue de %d ms\n"},
    {103, "El primario \"%s\" no ha tomado el control de esta m\xa0quina desde hace %d ms\n"},
    {104, "El padre \"%s\" es ahora el propietario de esta m\xa0quina para operaciones de alerta. El lapso fue de %d ms\n"},
    {105, "El padre \"%s\" no ha tomado el control de esta m\xa0quina para operaciones de alerta desde hace %d ms\n"},
    {106, "El padre %s funciona correctamente, con conexi\xa2n %d, patr\xa2n de virus del padre = %x\n"},
    {107, "La m\xa0quina experimenta problemas con el padre %s, con conexi\xa2n %d, patr\xa2n de virus = %x\n"},
    {108, "No es posible instalar %s: %s\n"},
    {109, "%s instalado.\n"},
    {110, "%s fall\xa2: %s\n"},
    {111, "Deteniendo %s."},
    {112, "\n%s no se pudo detener.\n"},
    {113, "\n%s detenido.\n"},
    {114, "%s eliminado.\n"},
    {115, "Depurando %s.\n"},
    {116, "Instalando %s en la ruta %s\n"},
    {117, "Instalando %s como servicio con el nombre %s\n"},
    {118, "Instalando %s como ejecutable con el nombre %s\n"},
    {119, "Eliminando %s como servicio con el nombre %s\n"},
    {120, "No es posible iniciar %s como servicio.\n"},
    {121, "El servidor principal \"%s\" es ahora el propietario de esta m\xe1quina para operaciones de WDR. El lapso fue de %d ms.\n"},
    {122, "El servidor principal \"%s\" no ha tomado el control de esta m\xe1quina para operaciones de WDR desde hace %d ms\n"},
    {123, "El servidor principal \"%s\" es ahora el propietario de esta m\xe1quina para operaciones de KPZ. El lapso fue de %d ms.\n"},
    {124, "El servidor principal \"%s\" no ha tomado el control de esta m\xe1quina para operaciones de KPZ desde hace %d ms\n"},
    {126, "Error al recuperar la ruta de WDR.\n"},
    {128, "Error al buscar el archivo proxy de KPZ"},
    {129, "Error al buscar el archivo Enrol.exe de KPZ"},
    {131, "No se pudo determinar la versi\xa2n de Windows.\n"},
    {132, "No se pueden localizar las funciones necesarias de la biblioteca de Windows: %s.\n"},
    {133, "No se pudo cargar la biblioteca: %s."},
    {134, "Error al obtener la clave de registro de la ruta de KPZ"},
    {135, "El servicio ya se est\xa0 utilizando.\n"},
    {136, "Error al iniciar el servicio"},
    {137, "Error al ejecutar el proceso de registro de KPZ"},
    {139, "No es posible iniciar ZIR en el servidor principal de HPD.\n"},
    {141, "%s iniciado.\n"},
    {144, "Error al analizar la l\xa1nea %d del archivo de importaci\xa2n; se va a omitir la l\xa1nea.\n"},
    {145, "Exportar lista de servidores"},
    {146, "La extensi\xa2n no es v\xa0lida, debe ser %s"},
    {147, "\n\nNo se puede encontrar un padre %s.\n"},
    {148, "No se pudieron configurar las claves de uso m\xa2vil en el servidor %s, clave %s. Motivo: Error de comunicaci\xa2n: %x\n"},
    {149, "lapso %d ms resultado %x"},
    {150, "lapso %d ms, error %x"},
    {151, "Error al recuperar del servidor el archivo de texto de generaci\xf3n de se\xf1" "ales de WDR."},
    {152, "Error al recuperar del servidor la utilidad de generaci\xf3n de se\xf1" "ales de WDR."},
    {154, "Error al ejecutar el generador de se\xf1" "ales de WDR."},
    {155, "Error al ejecutar la herramienta de configuraci\xf3n del Agente de WDR."},
    {156, "Error al recuperar del servidor la utilidad de configuraci\xf3n del Agente de WDR."},
    {157, "CreateProcess \"%s\"\n   directorio de trabajo \"%s\"\n   l\xednea de comandos \"%s\"\n   c\xf3" "digo de salida %d (0x%x)\n"},
    {158, "RemoteFileCopy del equipo \"%s\"\n   archivo fuente \"%s\"\n   archivo de destino \"%s\"\n   c\xf3" "digo de resultado %d (0x%x)\n"},
    {159, "Error al suprimir la clave de registro para detener el uso m\xf3vil de WDR.\n"},
    {160, "Se necesita una conexi\xf3n de red para esta solicitud, pero no hay ninguna.\n"},
    {161, "La b\xa3squeda termina en el nivel %d, el m\xa0s profundo: no se sigue la lista que %s publica para el nivel %d\n"},
    {162, "servidor %s descartado: su nombre tiene %d caracteres y un nombre de servidor tiene como m\xa0ximo %d\n"},
    {163, "servidor %s descartado: un nombre de equipo no puede contener el car\xa0" "cter \"%s\"\n"},
    {164, "servidor %s descartado: un nombre de equipo no puede estar vac\xa1o ni empezar por un punto\n"},
    {165, "Se omite el valor %s de la clave %s del servidor %s: no cabe entero en %d bytes (nombre de %d bytes, datos de %d)\n"},
    {166, "Se omite la clave %s del servidor %s: est\xa0 a m\xa0s de %d niveles de profundidad\n"},
    {167, "Se detiene el recorrido de %s en el servidor %s: se lleg\xa2 al l\xa1mite de %d claves o %d valores\n"},
    {168, "servidor %s: su lista para el nivel %d no cabe en la respuesta; se descarta su \xa3ltimo nombre, incompleto\n"},
    {169, "Se deja la lista de %s en el servidor %s: anuncia m\xa0s entradas sin traer ninguna\n"},
};

const char kUsageText[] =
    "Para ejecutarlo de forma interactiva, use:\n"
    "\n"
    "Perchman /%s archivo ini: configura claves de registro de cliente/servidor\n"
    "Perchman /%s <archivo>: crea informe de cliente/servidor en archivo\n"
    "Perchman /%s <<ruta> <nombre servicio nuevo> <nuevo nombre exe>>: crea/inicia el servicio Perchman\n"
    "Perchman /%s <nombre servicio nuevo>: detiene/elimina el servicio Perchman\n"
    "Perchman /%s: busca/configura pral. adecuado\n"
    "Perchman /%s: busca/configura pral. de cliente\n"
    "Perchman /%s: busca/configura pral. de cuarentena\n"
    "Perchman /%s: busca/configura pral. de alertas\n"
    "Perchman /%s: busca/aplica el archivo HPD del pral. m\xf3vil de HPD\n"
    "Perchman /%s: configura KPZ con archivos del pral. m\xf3vil de KPZ\n"
    "Perchman /%s: configura WDR con archivos del pral. m\xf3vil de WDR\n"
    "Perchman /%s: busca/configura servidor primario\n"
    "Perchman /%s <<tiempo en seg.> <tiempo delta en ms> <lista servidores>>: tiempo y media de servidores en lista\n"
    "Perchman /%s: verifica que el pral. funcione\n"
    "Perchman /%s: borra el pral. como si se cerrara el sistema\n";

// The option words handed to the usage text, "debug" last and not shown.
const char* const kUsageWords[] = {
    "import", "export", "install", "remove", "nearest", "nearest_parent",
    "nearest_quarantine", "nearest_alerts", "nearest_HPD", "nearest_KPZ", "nearest_WDR",
    "nearest_primary", "time_network", "check_parent", "shutdown", "debug"};

struct ExpectedConversions {
    unsigned id;
    const char* conversions;  // one letter per printf conversion, in order
};

// The argument lists the callers pass; a format that asks for more, fewer or
// other arguments reads the stack wrongly.
const ExpectedConversions kCallerArguments[] = {
    {2, ""},      {3, "x"},       {4, "sd"},      {5, "s"},      {18, "ssx"},
    {62, "s"},    {63, "s"},      {64, "ss"},     {65, ""},      {66, "ssx"},
    {67, "sss"},  {68, "ss"},     {69, "ssx"},    {70, "ss"},    {71, ""},
    {72, ""},     {73, "sd"},     {74, "sX"},     {75, "u"},     {76, ""},
    {77, ""},     {78, ""},       {79, ""},       {80, ""},      {81, ""},
    {82, ""},     {85, "s"},      {86, "s"},      {87, "dsddxs"}, {88, "dsddx"},
    {89, "sdc"},  {90, "sd"},     {91, "dd"},     {92, "s"},     {94, "dsdcddddddd"},
    {95, "ssd"},  {96, "sd"},     {97, "sd"},     {98, "sd"},    {99, "sd"},
    {161, "dsd"}, {162, "sdd"},   {163, "ss"},    {164, "s"},    {165, "sssddd"},
    {166, "ssd"}, {167, "ssdd"},  {168, "sd"},    {169, "ss"},
    {100, "sd"},  {101, "sd"},    {102, "sd"},    {103, "sd"},   {104, "sd"},
    {105, "sd"},  {106, "sdx"},   {107, "sdx"},   {108, "ss"},   {109, "s"},
    {110, "ss"},  {111, "s"},     {112, "s"},     {113, "s"},    {114, "s"},
    {115, "s"},   {116, "ss"},    {117, "ss"},    {118, "ss"},   {119, "ss"},
    {120, "s"},   {121, "sd"},    {122, "sd"},    {123, "sd"},   {124, "sd"},
    {126, ""},    {128, ""},      {129, ""},      {131, ""},     {132, "s"},
    {133, "s"},   {134, ""},      {135, ""},      {136, ""},     {137, ""},
    {139, ""},    {140, "sssssssssssssss"},       {141, "s"},    {144, "d"},
    {145, ""},    {146, "s"},     {147, "s"},     {148, "ssx"},  {149, "dx"},
    {150, "dx"},  {151, ""},      {152, ""},      {154, ""},     {155, ""},
    {156, ""},    {157, "sssdx"}, {158, "sssdx"}, {159, ""},     {160, ""},
};

// The conversion letters of a printf format; '?' marks a conversion that the
// runtime would not understand.
std::string Conversions(const std::string& format) {
    std::string letters;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (++i < format.size() && format[i] == '%') continue;
        while (i < format.size() && std::string("-+ #0").find(format[i]) != std::string::npos) ++i;
        while (i < format.size() && (isdigit(static_cast<unsigned char>(format[i])) || format[i] == '.')) ++i;
        while (i < format.size() && (format[i] == 'h' || format[i] == 'l')) ++i;
        if (i < format.size() && std::string("cdiouxXs").find(format[i]) != std::string::npos)
            letters += format[i];
        else
            letters += '?';
    }
    return letters;
}

class Messages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        program_.reset(LoadLibraryExA(PERCHMAN_PROGRAMS_DIR "\\src\\perchman.exe", nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE));
    }
    static void TearDownTestSuite() { program_.reset(); }

    void SetUp() override { ASSERT_TRUE(program_.get()) << "perchman.exe not found"; }

    // Empty for a missing entry; the buffer is larger than any stored text so
    // that a text too long for the program's own buffer shows in its length.
    static std::string Load(unsigned id) {
        char buffer[4 * kTextSize];
        int length = LoadStringA(program_.get(), id, buffer, sizeof buffer);
        return std::string(buffer, length > 0 ? length : 0);
    }

    static Module program_;
};

Module Messages::program_;

TEST_F(Messages, CallersTextsAreStoredByteForByte) {
    for (const ExpectedText& expected : kExpectedTexts) {
        SCOPED_TRACE(testing::Message() << "message " << expected.id);
        EXPECT_EQ(Load(expected.id), expected.text);
    }
    EXPECT_EQ(Load(kUsageId), kUsageText);
}

TEST_F(Messages, EveryIdButNinetyThreeHoldsAText) {
    unsigned present = 0;
    for (unsigned id = kFirstId; id <= kLastId; ++id) {
        std::string text = Load(id);
        if (id == kMissingId) {
            EXPECT_TRUE(text.empty()) << "message 93 must not exist";
            continue;
        }
        SCOPED_TRACE(testing::Message() << "message " << id);
        EXPECT_FALSE(text.empty());
        // Every text is loaded into a message buffer of the program's size.
        EXPECT_LT(text.size(), kTextSize);
        EXPECT_EQ(Conversions(text).find('?'), std::string::npos) << text;
        present += !text.empty();
    }
    EXPECT_EQ(present, 168u);
}

TEST_F(Messages, FormatsTakeWhatTheirCallersPass) {
    for (const ExpectedConversions& expected : kCallerArguments) {
        SCOPED_TRACE(testing::Message() << "message " << expected.id);
        EXPECT_EQ(Conversions(Load(expected.id)), expected.conversions);
    }
}

// The usage text outgrows the shared line buffer once its words are filled
// in, which is why it is formatted into a buffer of its own.
TEST_F(Messages, UsageTextLengthsStoredAndFormatted) {
    std::string usage = Load(kUsageId);
    EXPECT_EQ(usage.size(), 1006u);
    const char* const* w = kUsageWords;
    int formatted = snprintf(nullptr, 0, usage.c_str(), w[0], w[1], w[2], w[3], w[4], w[5],
                             w[6], w[7], w[8], w[9], w[10], w[11], w[12], w[13], w[14], w[15]);
    EXPECT_EQ(formatted, 1134);
    EXPECT_GT(static_cast<size_t>(formatted), kTextSize);
}

}  // namespace
