// Resource identifiers shared by the code and the resource script; only #defines, so any rc compiler reads it.
#ifndef TAVIK_RESOURCE_H
#define TAVIK_RESOURCE_H

// Message table. The identifiers double as result codes passed between the engine, the run and the window.
#define IDS_BAD_FILENAME        1
#define IDS_CANNOT_OPEN         2
#define IDS_SIZE_DIFFERS        3
#define IDS_NO_MEMORY           4
#define IDS_THREAD_FAILED       5
#define IDS_STARTED             6
#define IDS_NO_MORE_FILES       7
#define IDS_RUN_ABORTED         8
#define IDS_ABORTED             9
#define IDS_SAME                10
#define IDS_RUN_COMPLETE        11
#define IDS_FATAL_THREAD        12
#define IDS_CONTENT_DIFFERS     13
#define IDS_LENGTH_DIFFERS      14
#define IDS_INTERRUPTED         15
#define IDS_UNEXPECTED_1        16
#define IDS_UNDEFINED_ERROR     17
#define IDS_DRIVE_SCAN_FAILED   18
#define IDS_COL_NAME            19
#define IDS_COL_RESULT          20
#define IDS_ONLY_IN_SRC1        21
#define IDS_ONLY_IN_SRC2        22
#define IDS_NOT_COMPARED        23
#define IDS_TIP_FAST_MODE       24
#define IDS_TIP_STOP_ON_DIFF    25
#define IDS_TIP_TOTAL           26
#define IDS_TIP_FILE            27
#define IDS_TIP_READ            28
#define IDS_TIP_BUFFER          29
#define IDS_READ_FAILED         30
#define IDS_UNEXPECTED_2        31
#define IDS_NO_ERROR            32
#define IDS_STOPPED_ON_DIFF     33
#define IDS_MODE_NORMAL         34
#define IDS_MODE_FAST           35
#define IDS_SELECT_SRC1         36
#define IDS_SELECT_SRC2         37

// Texts of the console program tavik-verify; the dialog uses none of them.
#define IDS_CLI_USAGE           100
#define IDS_CLI_CANNOT_LIST     101
#define IDS_CLI_BAD_OPTION      102
#define IDS_CLI_NEED_TWO_FOLDERS 103
#define IDS_CLI_BAD_FORMAT      104
#define IDS_CLI_READ_ERROR      105
#define IDS_CLI_TOTALS          106
#define IDS_CLI_TIME_LEFT       107
#define IDS_CLI_SOURCE1         108
#define IDS_CLI_SOURCE2         109
#define IDS_CLI_TOTAL           110
#define IDS_CLI_NAMES           111
#define IDS_CLI_SKIPPED_ROWS    130
#define IDS_CLI_CANNOT_LIST_ROWS 131
#define IDS_CLI_SKIPPED         132
#define IDS_CLI_SKIP_LINK       133
#define IDS_CLI_SKIP_LOOP       134
#define IDS_CLI_SKIP_OFFLINE    135
#define IDS_CLI_SKIP_HIDDEN_SYSTEM 136
#define IDS_CLI_LISTING         137
#define IDS_CLI_UNEXPECTED      138
#define IDS_CLI_BAD_DEPTH       139
#define IDS_CLI_MANIFEST_CANNOT_WRITE 140
#define IDS_CLI_MANIFEST_CANNOT_READ 141
#define IDS_CLI_MANIFEST_BAD_LINE 142
#define IDS_CLI_MANIFEST_NO_LINE 143
#define IDS_CLI_MANIFEST_LINES  144
#define IDS_CLI_NEED_FOLDER     145
#define IDS_CLI_MANIFEST_READ_ONLY 146
#define IDS_CLI_MANIFEST_KEPT   147
#define IDS_CLI_MANIFEST_KEPT_READ_ONLY 148
#define IDS_CLI_NO_BACKUP_PRIVILEGE 149
#define IDS_CLI_DEPTH           150
#define IDS_CLI_DEPTH_CHANGE    157

// The HTML report of tavik-verify --report.
#define IDS_CLI_REPORT_CANNOT_WRITE 160
#define IDS_CLI_REPORT_TITLE        161
#define IDS_CLI_REPORT_MANIFEST     162
#define IDS_CLI_REPORT_STARTED      163
#define IDS_CLI_REPORT_ENDED        164
#define IDS_CLI_REPORT_DURATION     165
#define IDS_CLI_REPORT_BYTES        166
#define IDS_CLI_REPORT_SPEED        167
#define IDS_CLI_REPORT_MODE         168
#define IDS_CLI_REPORT_DEPTH        169
#define IDS_CLI_REPORT_VERSION      170
#define IDS_CLI_REPORT_STATUS       171
#define IDS_CLI_STATUS_SAME         172
#define IDS_CLI_STATUS_DIFFERENT    173
#define IDS_CLI_STATUS_TROUBLE      174
#define IDS_CLI_STATUS_INTERRUPTED  175
#define IDS_CLI_REPORT_COUNTS       176
#define IDS_CLI_REPORT_PROBLEMS     177
#define IDS_CLI_REPORT_NO_PROBLEMS  178
#define IDS_CLI_REPORT_SAME_ROWS    179
#define IDS_CLI_REPORT_SAME_CUT     180
#define IDS_CLI_REPORT_COLUMNS      181
#define IDS_CLI_REPORT_FIRST_DIFF   182
#define IDS_CLI_REPORT_DIGEST       183
#define IDS_CLI_REPORT_MESSAGES     184
#define IDS_CLI_REPORT_MORE         185
#define IDS_CLI_REPORT_SCALE        186
#define IDS_CLI_EXCLUDE_EMPTY       330
#define IDS_CLI_EXCLUDE_SEPARATORS  331
#define IDS_CLI_EXCLUDE_CANNOT_READ 332
#define IDS_CLI_EXCLUDED            333
#define IDS_CLI_REPORT_EXCLUDED     334
#define IDS_CLI_DAMAGE              335
#define IDS_CLI_REPORT_DAMAGE       336

// The journal of tavik-verify --journal.
#define IDS_CLI_JOURNAL_CANNOT_OPEN   340
#define IDS_CLI_JOURNAL_NOT_JOURNAL   341
#define IDS_CLI_JOURNAL_OTHER_VERSION 342
#define IDS_CLI_JOURNAL_OTHER_RUN     343
#define IDS_CLI_JOURNAL_DAMAGED       344
#define IDS_CLI_JOURNAL_CLASH         345
#define IDS_CLI_JOURNAL_CANNOT_WRITE  346
#define IDS_CLI_JOURNAL_CANNOT_REMOVE 347
#define IDS_CLI_TAKEN_OVER            348
#define IDS_CLI_REPORT_TAKEN_OVER     349
// Far from the block above, which other changes extend.
#define IDS_CLI_NOTHING_COMPARED    236
#define IDS_CLI_SAME_FILE           360
#define IDS_CLI_MANIFEST_STOPPED    361
#define IDS_CLI_MANIFEST_BROKEN     362
#define IDS_CLI_MANIFEST_TROUBLE    363
#define IDS_CLI_MANIFEST_NO_LINES_BELOW 364
#define IDS_CLI_REPORT_BROKEN       365

#define IDD_MAIN                102
#define IDR_MAINFRAME           128

#define IDC_COMPARE             1006
#define IDC_TREE_SRC1           1008
#define IDC_TREE_SRC2           1009
#define IDC_RESULT_LIST         1010
#define IDC_READ_SRC1           1011
#define IDC_READ_SRC2           1012
#define IDC_TOTAL_PROGRESS      1013
#define IDC_FILE_PROGRESS       1014
#define IDC_ABORT               1017
#define IDC_EXIT                1020
#define IDC_STOP_ON_DIFF        1022
#define IDC_BUFFER_SRC1         1023
#define IDC_BUFFER_SRC2         1024
#define IDC_FAST_MODE           1025
#define IDC_FILE_NAME           1026
#define IDC_MODE                1027

#endif
