#include "ShaderLoader.h"
#include "log/MyLog.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {
void printShaderLog(GLuint shader) {
    GLint length = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    if (length > 0) {
        std::vector<char> log(static_cast<size_t>(length) + 1, 0);
        glGetShaderInfoLog(shader, length, nullptr, log.data());
        libmsg::Puts(MYLOG_ERROR, log.data());
    }
}

void compile(GLuint shader, const std::string& source) {
    const char* text = source.c_str();
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    GLint status = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &status);
    printShaderLog(shader);
}
}  // namespace

GLuint LoadShaders(const char* vertexSource, const char* fragmentSource) {
    GLuint vertexShader = glCreateShader(GL_VERTEX_SHADER);
    GLuint fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);
    const std::string vertexCode = vertexSource ? vertexSource : "";
    const std::string fragmentCode = fragmentSource ? fragmentSource : "";

    compile(vertexShader, vertexCode);
    compile(fragmentShader, fragmentCode);

    GLuint program = glCreateProgram();
    glAttachShader(program, vertexShader);
    glAttachShader(program, fragmentShader);
    glLinkProgram(program);
    GLint status = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &status);
    GLint length = 0;
    glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
    if (length > 0) {
        std::vector<char> log(static_cast<size_t>(length) + 1, 0);
        glGetProgramInfoLog(program, length, nullptr, log.data());
        libmsg::Puts(MYLOG_ERROR, log.data());
    }

    glDetachShader(program, vertexShader);
    glDetachShader(program, fragmentShader);
    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);
    return program;
}
